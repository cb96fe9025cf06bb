# Installing the tree as one package for hosts. A host built with CMake writes
#   find_package(PersistenceZvFileIO CONFIG REQUIRED)
#   target_link_libraries(host PRIVATE Zorvan::PersistenceZvFileIO)
# and one built otherwise
#   c++ -std=c++20 host.cpp $(pkg-config --cflags --libs persistence-zvfileio)
include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# _zv_package_libraries(<out> <target>...): the libraries of this tree that
# `target`s need installed beside them: the shared libraries they load,
# directly or through others, and, for a static library, every static and
# INTERFACE library of the tree it links (its users link those too).
# Libraries, programs and modules are followed through LINK_LIBRARIES (all
# they link), INTERFACE libraries through INTERFACE_LINK_LIBRARIES.
# Imported targets (Boost, Threads, SQLite) come from elsewhere and are not
# followed. What is linked into a program, a module or a shared library
# (Services_DynamicLibrary, zvfile_commands_objects, Services_Common there)
# is inside it and not listed.
function(_zv_package_libraries out)
  # Each entry is <target>@<how>: "link" when its users link what it
  # links, "load" when only the shared libraries it needs matter.
  list(TRANSFORM ARGN APPEND "@link" OUTPUT_VARIABLE queue)
  set(seen "")
  set(found "")
  while(queue)
    list(POP_FRONT queue entry)
    string(REGEX MATCH "^(.*)@(link|load)$" entry "${entry}")
    set(target ${CMAKE_MATCH_1})
    set(how ${CMAKE_MATCH_2})
    if(NOT TARGET ${target})
      continue()
    endif()
    get_target_property(aliased ${target} ALIASED_TARGET)
    if(aliased)
      set(target ${aliased})
    endif()
    get_target_property(imported ${target} IMPORTED)
    if("${target}@${how}" IN_LIST seen OR imported)
      continue()
    endif()
    list(APPEND seen "${target}@${how}")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR (how STREQUAL "link" AND type MATCHES "^(STATIC|INTERFACE)_LIBRARY$"))
      list(APPEND found ${target})
    endif()
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links ${target} LINK_LIBRARIES)
    endif()
    if(NOT type MATCHES "^(STATIC|OBJECT|INTERFACE)_LIBRARY$")
      set(how load) # linked into this binary: what it needs is loaded, not linked by its users
    endif()
    if(links)
      list(TRANSFORM links APPEND "@${how}")
      list(APPEND queue ${links})
    endif()
  endwhile()
  list(REMOVE_DUPLICATES found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# zv_install_package(<package> NAMESPACE <ns> TARGETS <target>...
#                    [PKG_CONFIG <name> LINKING <target>])
# Installs the TARGETS (libraries, INTERFACE libraries, programs, modules)
# with every library of the tree they need, and exports them all but the
# modules as <ns><target>:
#   lib/                       the libraries: shared ones with their SONAMEs
#                              and no run path (the loader's search path, or
#                              the program's, finds them), or static ones
#   bin/                       the programs; one that loads libraries of the
#                              package finds them in ../lib
#   lib/<folder>/              the modules programs load at run time (MODULE
#                              libraries), each in the folder its property
#                              ZV_INSTALL_DESTINATION names; they find the
#                              libraries in lib/, also when moved with their
#                              program into tools/<port>/, and are not
#                              exported, as nothing links them
#   include/<package>/         the header file sets (zv_add_library), at the
#                              paths they are included by; the exported
#                              targets' include directory
#   lib/cmake/<package>/       the config made from cmake/<package>Config.cmake.in,
#                              the exported targets of this build, shared or
#                              static (<package>-shared-targets.cmake,
#                              <package>-static-targets.cmake: both kinds may
#                              be installed into one prefix and the config
#                              picks one), a version file that accepts requests
#                              for the same major version, and the compiler
#                              floor it checks a host's compiler against
#   lib/pkgconfig/             one <library>.pc per library, and with
#                              PKG_CONFIG <name>.pc, made from
#                              cmake/<package>.pc.in, requiring the libraries
#                              LINKING links
# and adds the API reference of the installed headers (zv_add_api_reference).
function(zv_install_package package)
  cmake_parse_arguments(ARG "" "NAMESPACE;PKG_CONFIG;LINKING" "TARGETS" ${ARGN})
  _zv_package_libraries(libraries ${ARG_TARGETS})
  set(exported ${ARG_TARGETS} ${libraries})
  list(REMOVE_DUPLICATES exported)
  set(modules "")
  set(binary_libraries "") # those with a file of their own: shared and static libraries
  foreach(target IN LISTS exported)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      list(APPEND modules ${target})
    elseif(type MATCHES "^(SHARED|STATIC)_LIBRARY$")
      list(APPEND binary_libraries ${target})
    endif()
  endforeach()
  list(REMOVE_ITEM exported ${modules})
  set(ZV_PACKAGE_LIBRARIES ${binary_libraries} PARENT_SCOPE)
  set(include_dir ${CMAKE_INSTALL_INCLUDEDIR}/${package})
  # The headers form a component of their own, which the API reference
  # installs alone.
  set(headers_component ${package}_headers)

  if(NOT WIN32 AND NOT APPLE)
    # Relative run paths, so the tree works wherever it is installed, and
    # only on the binaries that load libraries of the package: installed
    # where the loader looks anyway (/usr/lib), a library needs none, and a
    # run path that holds none of a program's libraries would only make the
    # loader look there in vain for the C++ runtime's.
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    foreach(target IN LISTS exported modules)
      get_target_property(type ${target} TYPE)
      if(NOT type MATCHES "^(EXECUTABLE|MODULE_LIBRARY)$")
        continue()
      endif()
      _zv_package_libraries(own ${target})
      set(loads_shared FALSE)
      foreach(library IN LISTS own)
        get_target_property(library_type ${library} TYPE)
        if(library_type STREQUAL "SHARED_LIBRARY")
          set(loads_shared TRUE)
        endif()
      endforeach()
      if(NOT loads_shared)
        continue()
      endif()
      if(type STREQUAL "EXECUTABLE")
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
      else()
        # From where the package installs the module, and from where a
        # port that gathers programs under tools/<port>/ moves it with its
        # program, the libraries staying in the library folder.
        get_target_property(destination ${target} ZV_INSTALL_DESTINATION)
        set(run_path "")
        foreach(folder IN ITEMS ${CMAKE_INSTALL_PREFIX}/${destination} ${CMAKE_INSTALL_PREFIX}/tools/${package})
          file(RELATIVE_PATH module_to_lib ${folder} ${CMAKE_INSTALL_FULL_LIBDIR})
          string(REGEX REPLACE "/$" "" module_to_lib "${module_to_lib}")
          if(module_to_lib)
            string(PREPEND module_to_lib "/")
          endif()
          list(APPEND run_path "$ORIGIN${module_to_lib}")
        endforeach()
        list(REMOVE_DUPLICATES run_path)
        list(JOIN run_path ":" run_path)
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "${run_path}")
      endif()
      # An RPATH, not a RUNPATH: the loader looks in a RUNPATH only for the
      # binary's own dependencies, and the libraries it loads have no run
      # path of their own to find theirs (Services_Exceptions, say, which
      # the module does not link itself). An RPATH serves those too.
      target_link_options(${target} PRIVATE LINKER:--disable-new-dtags)
    endforeach()
  endif()
  foreach(module IN LISTS modules)
    get_target_property(destination ${module} ZV_INSTALL_DESTINATION)
    if(NOT destination)
      message(FATAL_ERROR "zv_install_package: module ${module} has no ZV_INSTALL_DESTINATION")
    endif()
    install(TARGETS ${module} LIBRARY DESTINATION ${destination})
  endforeach()
  install(TARGETS ${exported} EXPORT ${package}Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${include_dir} COMPONENT ${headers_component}
    FILE_SET export_header DESTINATION ${include_dir} COMPONENT ${headers_component}
    INCLUDES DESTINATION ${include_dir})

  set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  if(BUILD_SHARED_LIBS)
    set(kind shared)
  else()
    set(kind static)
  endif()
  install(EXPORT ${package}Targets NAMESPACE ${ARG_NAMESPACE} DESTINATION ${config_dir}
          FILE ${package}-${kind}-targets.cmake)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${package}Config.cmake.in
    ${PROJECT_BINARY_DIR}/package/${package}Config.cmake
    INSTALL_DESTINATION ${config_dir}
    PATH_VARS CMAKE_INSTALL_LOCALEDIR)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/${package}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/package/${package}Config.cmake
                ${PROJECT_BINARY_DIR}/package/${package}ConfigVersion.cmake
                ${PROJECT_SOURCE_DIR}/cmake/ZvCompilerFloor.cmake
          DESTINATION ${config_dir})

  _zv_install_pkg_config(${package} ${binary_libraries})
  if(ARG_PKG_CONFIG)
    # The umbrella: requires the libraries a host of LINKING links; says
    # where the message catalogues are.
    get_target_property(links ${ARG_LINKING} INTERFACE_LINK_LIBRARIES)
    zv_file_name(links ${links})
    list(JOIN links " " ZV_PC_REQUIRES)
    _zv_pc_prefix(ZV_PC_PREFIX)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${package}.pc.in ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc
                   @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endif()

  zv_add_api_reference(${package} COMPONENT ${headers_component} INCLUDE_DIR ${include_dir}
                       LIBRARIES ${binary_libraries})
endfunction()

# _zv_pc_prefix(<out>): the install prefix as a .pc file in lib/pkgconfig
# names it, found from the file's own place so the installed tree can move.
function(_zv_pc_prefix out)
  file(RELATIVE_PATH prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" prefix "\${pcfiledir}/${prefix}")
  set(${out} "${prefix}" PARENT_SCOPE)
endfunction()

# _zv_install_pkg_config(<package> <library>...): lib/pkgconfig/<file name>.pc
# for each library (cmake/ZvLibrary.pc.in). Requires names the libraries of
# the tree its headers use (its PUBLIC links), Requires.private and
# Libs.private what a static link needs besides (its PRIVATE links, and the
# system's SQLite, Boost.Locale and threads, by -l: pkg-config wants every
# package Requires.private names to be there even for a shared link). The content does not depend on
# whether this build is shared or static, so both may be installed into one
# prefix: `pkg-config --static` then gives what a static link needs.
function(_zv_install_pkg_config package)
  _zv_pc_prefix(ZV_PC_PREFIX)
  foreach(library IN LISTS ARGN)
    get_target_property(public ${library} INTERFACE_LINK_LIBRARIES)
    get_target_property(all ${library} LINK_LIBRARIES)
    set(requires "")
    set(requires_private "")
    set(libs_private "")
    # INTERFACE libraries of the tree (Services_Common) stand for what they link.
    set(queue ${all})
    while(queue)
      list(POP_FRONT queue link)
      if(NOT TARGET ${link})
        continue()
      endif()
      get_target_property(imported ${link} IMPORTED)
      get_target_property(type ${link} TYPE)
      if(NOT imported AND type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(more ${link} INTERFACE_LINK_LIBRARIES)
        if(more)
          list(APPEND queue ${more})
        endif()
      elseif(NOT imported)
        if(NOT link IN_LIST ARGN)
          # A static library of the tree linked into this one (the cross
          # build's SQLite): nothing for the library's users to link.
          continue()
        endif()
        if(link IN_LIST public)
          list(APPEND requires ${link})
        else()
          list(APPEND requires_private ${link})
        endif()
      elseif(link STREQUAL "SQLite::SQLite3")
        list(APPEND libs_private -lsqlite3)
      elseif(link STREQUAL "Boost::locale")
        list(APPEND libs_private -lboost_locale)
      elseif(link STREQUAL "Threads::Threads")
        list(APPEND libs_private -pthread)
      endif() # Boost::headers and the like: nothing to link
    endwhile()
    zv_file_name(requires ${requires})
    zv_file_name(requires_private ${requires_private})
    foreach(list IN ITEMS requires requires_private libs_private)
      list(REMOVE_DUPLICATES ${list})
      list(JOIN ${list} " " ${list})
    endforeach()
    zv_file_name(ZV_PC_NAME ${library})
    get_target_property(ZV_PC_DESCRIPTION ${library} ZV_DESCRIPTION)
    set(ZV_PC_REQUIRES "${requires}")
    set(ZV_PC_REQUIRES_PRIVATE "${requires_private}")
    set(ZV_PC_LIBS_PRIVATE "${libs_private}")
    # On Windows the import library is named by path: a MinGW host linked
    # -static (no MinGW runtime DLLs) finds no import library through -l.
    if(WIN32)
      set(ZV_PC_LIBS "\${libdir}/$<TARGET_LINKER_FILE_NAME:${library}>")
    else()
      set(ZV_PC_LIBS "-L\${libdir} -l$<TARGET_LINKER_FILE_BASE_NAME:${library}>")
    endif()
    set(pc ${PROJECT_BINARY_DIR}/package/pkgconfig/${ZV_PC_NAME}.pc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/ZvLibrary.pc.in ${pc}.in @ONLY)
    file(GENERATE OUTPUT ${pc} INPUT ${pc}.in)
    install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  endforeach()
endfunction()

# zv_add_api_reference(<package> COMPONENT <headers component> INCLUDE_DIR <dir>
#                      LIBRARIES <library>...)
# The target `docs` (when Doxygen is found), part of the build: installs
# the headers component into a folder of the build tree and builds the
# HTML reference of what is there with Doxygen (cmake/Doxyfile.in), so the
# reference shows exactly what a host gets, at the paths it includes. It is
# built anew when a header of the LIBRARIES changes, and any Doxygen warning
# fails the build. The reference is installed under share/doc/<package>/html.
function(zv_add_api_reference package)
  cmake_parse_arguments(ARG "" "COMPONENT;INCLUDE_DIR" "LIBRARIES" ${ARGN})
  find_package(Doxygen)
  if(NOT DOXYGEN_FOUND)
    return()
  endif()
  set(docs ${PROJECT_BINARY_DIR}/docs)
  set(stage ${docs}/installed)
  # The export macros (GenerateExportHeader: <LIBRARY>_EXPORT,
  # <LIBRARY>_NO_EXPORT) mark what a library offers and what it keeps; in
  # the reference they stand for nothing.
  set(ZV_DOXYGEN_PREDEFINED "")
  set(headers "")
  foreach(library IN LISTS ARG_LIBRARIES)
    string(TOUPPER ${library} macro)
    string(APPEND ZV_DOXYGEN_PREDEFINED " ${macro}_EXPORT= ${macro}_NO_EXPORT=")
    foreach(set IN ITEMS HEADER_SET HEADER_SET_export_header)
      get_target_property(files ${library} ${set})
      if(files)
        list(APPEND headers ${files})
      endif()
    endforeach()
  endforeach()
  set(ZV_DOXYGEN_INPUT ${stage}/${ARG_INCLUDE_DIR})
  set(ZV_DOXYGEN_OUTPUT ${docs})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${docs}/Doxyfile @ONLY)
  add_custom_command(OUTPUT ${docs}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${docs}/html
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component ${ARG_COMPONENT} --prefix ${stage}
    COMMAND Doxygen::doxygen ${docs}/Doxyfile
    DEPENDS ${headers} ${docs}/Doxyfile
    COMMENT "Building the API reference of the installed headers in ${docs}/html"
    VERBATIM)
  add_custom_target(docs ALL DEPENDS ${docs}/html/index.html)
  install(DIRECTORY ${docs}/html DESTINATION ${CMAKE_INSTALL_DOCDIR})
endfunction()
