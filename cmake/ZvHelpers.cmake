# Small helpers shared by every target of the tree.
include_guard(GLOBAL)
include(GenerateExportHeader)

# zv_source_cache(<out>): the folder where scripts/sqlite-source.sh and
# scripts/boost-locale-source.sh keep what they make from Debian's source
# packages: $ZV_CACHE_DIR, else $XDG_CACHE_HOME/persistence-zvfileio, else
# ~/.cache/persistence-zvfileio, as the scripts choose it.
function(zv_source_cache out)
  if(DEFINED ENV{ZV_CACHE_DIR})
    set(${out} $ENV{ZV_CACHE_DIR} PARENT_SCOPE)
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(${out} $ENV{XDG_CACHE_HOME}/persistence-zvfileio PARENT_SCOPE)
  else()
    set(${out} $ENV{HOME}/.cache/persistence-zvfileio PARENT_SCOPE)
  endif()
endfunction()

# Warnings, sanitizers, linker hygiene and source-tree-relative __FILE__ for
# one target.
function(zv_target_defaults target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive-)
    if(ZV_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
      -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
      -Wnull-dereference -Wimplicit-fallthrough
      # Log lines and source locations carry source-tree paths such as
      # Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp on every machine.
      -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
    if(ZV_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(ZV_SANITIZE)
      target_compile_options(${target} PRIVATE -fsanitize=${ZV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
      target_link_options(${target} PRIVATE -fsanitize=${ZV_SANITIZE})
    endif()
    if(ZV_COVERAGE)
      # Counts for gcov; the linker adds its runtime, which writes the
      # counts of each program and library beside their objects at exit.
      target_compile_options(${target} PRIVATE --coverage)
      target_link_options(${target} PRIVATE --coverage)
      # Tests whose forked children end with _exit write the counts first.
      target_compile_definitions(${target} PRIVATE ZV_COVERAGE)
    endif()
    if(ZV_BUILD_FUZZERS AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      # Coverage in every library too, so that libFuzzer is guided by the
      # code under test and not only by the fuzz target itself.
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
    get_target_property(type ${target} TYPE)
    if(NOT WIN32 AND NOT APPLE AND type MATCHES "EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY")
      # A library the binary names but does not use would still be mapped
      # at every start: each binary names only those it uses.
      target_link_options(${target} PRIVATE LINKER:--as-needed)
      # And a library links all it uses itself instead of counting on the
      # program to have loaded it (sanitizer and coverage hooks come from
      # the program, so instrumented builds leave this out).
      if(type MATCHES "LIBRARY" AND NOT ZV_SANITIZE AND NOT ZV_BUILD_FUZZERS)
        target_link_options(${target} PRIVATE LINKER:-z,defs)
      endif()
    endif()
    if(MINGW)
      # The C++ runtime, libgcc and winpthread go into each DLL and program,
      # so a host loads our DLLs without shipping MinGW's runtime DLLs.
      # Exceptions still cross DLL boundaries: types are matched by name.
      target_link_options(${target} PRIVATE -static)
    endif()
  endif()
endfunction()

# zv_file_name(<out> <library>...): the names libraries of the tree have as
# files, without prefix and suffix (zvfileio-logging), and as pkg-config
# packages.
function(zv_file_name out)
  set(names "")
  foreach(library IN LISTS ARGN)
    get_target_property(file_name ${library} OUTPUT_NAME)
    if(NOT file_name)
      set(file_name ${library})
    endif()
    list(APPEND names ${file_name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# zv_add_library(<name> SOURCES ... [HEADERS ...] [PUBLIC_DEPS ...] [PRIVATE_DEPS ...]
#                [INCLUDE_ROOT <dir>] [EXPORT_HEADER <path relative to include root>]
#                [DESCRIPTION <text>] [EXPORTS <scope>...] [C_EXPORTS <name>...]
#                [KEEP_NAME])
# A library with hidden visibility and a generated export header: shared,
# or static when BUILD_SHARED_LIBS is OFF (its users then get
# <NAME>_STATIC_DEFINE, which empties the export macros). Users compile
# with C++20 at least: the headers need it.
# HEADERS are the headers it offers its users; they and the export header
# form the file sets HEADERS and export_header, which the package installs
# at the paths they are included by (FileHandling/FileName.h) and whose
# install folder it gives users as the include directory (ZvPackage).
# DESCRIPTION is the one line its pkg-config file says of it.
# Its file carries the package's prefix, so that nothing the package
# installs can take a name another package's library has: Services_Logging
# is libzvfileio-logging.so.1 (zvfileio-logging.dll), named by its
# pkg-config file zvfileio-logging.pc. KEEP_NAME keeps the target's own
# name for the file (Persistence_ZvFileIO, which hosts know by it).
# On ELF systems a shared library exports under the version node
# ZORVAN_<FILE NAME>_1.0 (ZORVAN_ZVFILEIO_LOGGING_1.0) what its export macro marks in the C++ scopes EXPORTS
# (namespaces or classes; default Zorvan) and the C functions C_EXPORTS
# (cmake/Exports.map.in); the template code of the C++ library that the
# compiler instantiates in it is not exported.
function(zv_add_library name)
  cmake_parse_arguments(ARG "KEEP_NAME" "INCLUDE_ROOT;EXPORT_HEADER;DESCRIPTION"
    "SOURCES;HEADERS;PUBLIC_DEPS;PRIVATE_DEPS;EXPORTS;C_EXPORTS" ${ARGN})
  add_library(${name} ${ARG_SOURCES})
  if(NOT ARG_KEEP_NAME)
    string(REGEX REPLACE "^(Services|Persistence)_" "" file_name ${name})
    string(TOLOWER "zvfileio-${file_name}" file_name)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${file_name})
  endif()
  zv_target_defaults(${name})
  target_compile_features(${name} PUBLIC cxx_std_20)
  set(generated ${PROJECT_BINARY_DIR}/generated)
  generate_export_header(${name} EXPORT_FILE_NAME ${generated}/${ARG_EXPORT_HEADER})
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    string(TOUPPER ${name} upper)
    target_compile_definitions(${name} PUBLIC ${upper}_STATIC_DEFINE)
    # Linked into the zvfile commands module and into hosts' shared libraries too.
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  endif()
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${ARG_INCLUDE_ROOT}>
    $<BUILD_INTERFACE:${generated}>)
  cmake_path(ABSOLUTE_PATH ARG_INCLUDE_ROOT NORMALIZE)
  # Two sets: the build folder may lie inside the source tree, and base
  # folders of one set must not nest.
  target_sources(${name}
    PUBLIC FILE_SET HEADERS BASE_DIRS ${ARG_INCLUDE_ROOT} FILES ${ARG_HEADERS}
    PUBLIC FILE_SET export_header TYPE HEADERS BASE_DIRS ${generated} FILES ${generated}/${ARG_EXPORT_HEADER})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  if(NOT ARG_DESCRIPTION)
    set(ARG_DESCRIPTION "${name}, a library of ${PROJECT_NAME}")
  endif()
  set_target_properties(${name} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    ZV_DESCRIPTION "${ARG_DESCRIPTION}")
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "") # Persistence_ZvFileIO.dll, as hosts load it
  endif()
  if(type STREQUAL "SHARED_LIBRARY" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT WIN32 AND NOT APPLE)
    if(NOT ARG_EXPORTS)
      set(ARG_EXPORTS Zorvan)
    endif()
    zv_file_name(file_name ${name})
    string(MAKE_C_IDENTIFIER "${file_name}" node)
    string(TOUPPER "ZORVAN_${node}_1.0" ZV_EXPORTS_NODE)
    set(ZV_EXPORTS_LIBRARY ${name})
    list(JOIN ARG_EXPORTS ", " ZV_EXPORTS_SCOPES)
    # Demangled names, as the linker matches them: a scope's members, and
    # the type information, virtual tables, thunks and guard variables of
    # its classes ("typeinfo for Zorvan::ZvFileIO"; a ? stands for a space).
    set(ZV_EXPORTS_CXX "")
    foreach(scope IN LISTS ARG_EXPORTS)
      string(APPEND ZV_EXPORTS_CXX "      ${scope}::*;\n")
      foreach(prefix IN ITEMS "typeinfo for" "typeinfo name for" "vtable for" "VTT for")
        string(REPLACE " " "?" prefix "${prefix}")
        string(APPEND ZV_EXPORTS_CXX "      ${prefix}?${scope}; ${prefix}?${scope}::*;\n")
      endforeach()
      foreach(prefix IN ITEMS "non-virtual thunk to" "virtual thunk to" "guard variable for")
        string(REPLACE " " "?" prefix "${prefix}")
        string(APPEND ZV_EXPORTS_CXX "      ${prefix}?${scope}::*;\n")
      endforeach()
    endforeach()
    set(ZV_EXPORTS_C "")
    foreach(function IN LISTS ARG_C_EXPORTS)
      string(APPEND ZV_EXPORTS_C "    ${function};\n")
    endforeach()
    set(version_script ${PROJECT_BINARY_DIR}/exports/${name}.map)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/Exports.map.in ${version_script} @ONLY)
    target_link_options(${name} PRIVATE LINKER:--version-script=${version_script})
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${version_script})
    # Once loaded, a library stays: it holds process-wide state (the service
    # slots, the design store's file system registered with SQLite) that a
    # module unloaded with it, such as zvfile's commands, would otherwise
    # take along while others may still point into it.
    target_link_options(${name} PRIVATE LINKER:-z,nodelete)
  endif()
endfunction()

# zv_add_test(<name> SOURCES ... LIBS ...): one GoogleTest executable whose
# cases CTest lists one by one. ZV_TEST_DISCOVERY_ARGS and ZV_TEST_PROPERTIES
# (set for runs under an emulator) add to gtest_discover_tests' arguments
# and to every case's properties.
function(zv_add_test name)
  if(NOT ZV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zv_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${ZV_TEST_DISCOVERY_ARGS}
    PROPERTIES TIMEOUT 120 ${ZV_TEST_PROPERTIES})
endfunction()

# zv_add_platform_test(<name> PLATFORM WINDOWS|POSIX SOURCES ... LIBS ...):
# tests of what exists on one kind of system only (permission bits and
# symbolic links, the read-only attribute). On that kind they are built as
# zv_add_test does and carry the label windows-only or posix-only; elsewhere
# CTest lists <name> as a disabled test with that label, so the run's
# summary shows what was left out instead of passing over it in silence.
function(zv_add_platform_test name)
  if(NOT ZV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "PLATFORM" "SOURCES;LIBS" ${ARGN})
  string(TOLOWER "${ARG_PLATFORM}-only" label)
  if(ARG_PLATFORM STREQUAL "WINDOWS")
    set(applies ${WIN32})
  elseif(ARG_PLATFORM STREQUAL "POSIX")
    set(applies ${UNIX})
  else()
    message(FATAL_ERROR "zv_add_platform_test(${name}): PLATFORM must be WINDOWS or POSIX")
  endif()
  if(applies)
    set(ZV_TEST_PROPERTIES ${ZV_TEST_PROPERTIES} LABELS ${label})
    zv_add_test(${name} SOURCES ${ARG_SOURCES} LIBS ${ARG_LIBS})
  else()
    zv_add_absent_test(${name} LABEL ${label})
  endif()
endfunction()

# zv_add_absent_test(<name> LABEL <label>...): a disabled test <name>
# standing for tests this build leaves out, the labels saying why, so that
# CTest's summary lists them among the tests that did not run.
function(zv_add_absent_test name)
  cmake_parse_arguments(ARG "" "" "LABEL" ${ARGN})
  if(ZV_BUILD_TESTS)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E false)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE LABELS "${ARG_LABEL}")
  endif()
endfunction()

# zv_add_exports_test(<library> [EXPECTED <name>...])
# The test <library>.exports: the shared library exports its own scope and
# nothing else (cmake/CheckExports.cmake), or with EXPECTED exactly the
# functions named. ELF libraries are read with nm, a MinGW DLL's export
# table with objdump and the c++filt beside it; other toolchains get none.
function(zv_add_exports_test library)
  cmake_parse_arguments(ARG "" "" "EXPECTED" ${ARGN})
  set(check -P ${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake)
  if(ARG_EXPECTED)
    list(JOIN ARG_EXPECTED "," expected)
    list(PREPEND check -DEXPECTED=${expected})
  endif()
  if(NOT WIN32)
    set(reader -DNM=${CMAKE_NM})
  elseif(MINGW)
    cmake_path(GET CMAKE_OBJDUMP FILENAME objdump)
    string(REPLACE "objdump" "c++filt" cxxfilt "${objdump}")
    cmake_path(REPLACE_FILENAME CMAKE_OBJDUMP ${cxxfilt} OUTPUT_VARIABLE cxxfilt)
    set(reader -DOBJDUMP=${CMAKE_OBJDUMP} -DCXXFILT=${cxxfilt})
  else()
    return()
  endif()
  add_test(NAME ${library}.exports
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:${library}> ${reader} ${check})
endfunction()
