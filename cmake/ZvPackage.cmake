# Installing the tree as one package for hosts. A host built with CMake writes
#   find_package(PersistenceZvFileIO CONFIG REQUIRED)
#   target_link_libraries(host PRIVATE Zorvan::PersistenceZvFileIO)
# and one built otherwise
#   c++ -std=c++20 host.cpp $(pkg-config --cflags --libs persistence-zvfileio)
include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# _zv_linked_libraries(<out> <property> <target>...): the shared libraries of
# this tree among `target`s and what they link, directly or through others,
# following <property> of libraries and programs (LINK_LIBRARIES: all that
# must be installed beside them; INTERFACE_LINK_LIBRARIES: all that their
# users link) and INTERFACE_LINK_LIBRARIES of INTERFACE libraries. Imported
# targets (Boost, Threads, SQLite) come from elsewhere and are not followed.
# Static, object and INTERFACE libraries of the tree (Services_DynamicLibrary,
# zvfile_commands_objects, Services_Common) are followed but not listed: what
# they hold is inside the program or library that links them.
function(_zv_linked_libraries out property)
  set(queue ${ARGN})
  set(seen "")
  set(found "")
  while(queue)
    list(POP_FRONT queue target)
    if(NOT TARGET ${target})
      continue()
    endif()
    get_target_property(aliased ${target} ALIASED_TARGET)
    if(aliased)
      set(target ${aliased})
    endif()
    get_target_property(imported ${target} IMPORTED)
    if(target IN_LIST seen OR imported)
      continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${target})
    endif()
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(links ${target} ${property})
    endif()
    if(links)
      list(APPEND queue ${links})
    endif()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# zv_install_package(<package> NAMESPACE <ns> TARGETS <target>...
#                    [PKG_CONFIG <name> LINKING <target>])
# Installs the TARGETS (libraries, INTERFACE libraries, programs, modules)
# with every shared library of the tree they link, and exports them all but
# the modules as <ns><target>:
#   lib/                       the shared libraries (with their SONAMEs); each
#                              finds the others beside itself
#   bin/                       the programs, which find the libraries in ../lib
#                              (a program that links none has no run path)
#   lib/<folder>/              the modules programs load at run time (MODULE
#                              libraries), each in the folder its property
#                              ZV_INSTALL_DESTINATION names; they find the
#                              libraries in lib/ and are not exported, as
#                              nothing links them
#   include/<package>/         the header file sets (zv_add_library), at the
#                              paths they are included by; the exported
#                              targets' include directory
#   lib/cmake/<package>/       the config made from cmake/<package>Config.cmake.in,
#                              the exported targets and a version file that
#                              accepts requests for the same major version
#   lib/pkgconfig/<name>.pc    with PKG_CONFIG: made from cmake/<package>.pc.in,
#                              linking what a host of LINKING links
# and adds the API reference of the installed headers (zv_add_api_reference).
function(zv_install_package package)
  cmake_parse_arguments(ARG "" "NAMESPACE;PKG_CONFIG;LINKING" "TARGETS" ${ARGN})
  _zv_linked_libraries(libraries LINK_LIBRARIES ${ARG_TARGETS})
  set(exported ${ARG_TARGETS} ${libraries})
  list(REMOVE_DUPLICATES exported)
  set(modules "")
  foreach(target IN LISTS ARG_TARGETS)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY")
      list(APPEND modules ${target})
      list(REMOVE_ITEM exported ${target})
    endif()
  endforeach()
  set(include_dir ${CMAKE_INSTALL_INCLUDEDIR}/${package})
  # The headers form a component of their own, which the API reference
  # installs alone.
  set(headers_component ${package}_headers)

  if(NOT WIN32 AND NOT APPLE)
    # Relative run paths, so the tree works wherever it is installed and a
    # host needs no library path for the libraries it does not link itself.
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    foreach(target IN LISTS exported)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "SHARED_LIBRARY")
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
      elseif(type STREQUAL "EXECUTABLE")
        # A run path that holds none of its libraries would only make the
        # loader look there in vain for the C++ runtime's.
        _zv_linked_libraries(own LINK_LIBRARIES ${target})
        if(own)
          set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
        endif()
      endif()
    endforeach()
  endif()
  foreach(module IN LISTS modules)
    get_target_property(destination ${module} ZV_INSTALL_DESTINATION)
    if(NOT destination)
      message(FATAL_ERROR "zv_install_package: module ${module} has no ZV_INSTALL_DESTINATION")
    endif()
    if(NOT WIN32 AND NOT APPLE)
      file(RELATIVE_PATH module_to_lib ${CMAKE_INSTALL_PREFIX}/${destination} ${CMAKE_INSTALL_FULL_LIBDIR})
      string(REGEX REPLACE "/$" "" module_to_lib "${module_to_lib}")
      set_target_properties(${module} PROPERTIES INSTALL_RPATH "$ORIGIN/${module_to_lib}")
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
  install(EXPORT ${package}Targets NAMESPACE ${ARG_NAMESPACE} DESTINATION ${config_dir})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${package}Config.cmake.in
    ${PROJECT_BINARY_DIR}/package/${package}Config.cmake
    INSTALL_DESTINATION ${config_dir}
    PATH_VARS CMAKE_INSTALL_LOCALEDIR)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/${package}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/package/${package}Config.cmake
                ${PROJECT_BINARY_DIR}/package/${package}ConfigVersion.cmake
          DESTINATION ${config_dir})

  if(ARG_PKG_CONFIG)
    # The libraries a host of LINKING links: what its public interface
    # brings, not what the libraries link privately (they find that
    # themselves). The prefix is found from the file's own place, so the
    # installed tree can move.
    # On Windows the import libraries are named by path: a MinGW host
    # linked -static (no MinGW runtime DLLs) finds no import library
    # through -l.
    _zv_linked_libraries(host_libraries INTERFACE_LINK_LIBRARIES ${ARG_LINKING})
    set(ZV_PC_LIBS "")
    foreach(library IN LISTS host_libraries)
      if(WIN32)
        string(APPEND ZV_PC_LIBS " \${libdir}/$<TARGET_LINKER_FILE_NAME:${library}>")
      else()
        string(APPEND ZV_PC_LIBS " -l$<TARGET_LINKER_FILE_BASE_NAME:${library}>")
      endif()
    endforeach()
    set(ZV_PC_RPATH "")
    if(NOT WIN32 AND NOT APPLE)
      set(ZV_PC_RPATH " -Wl,-rpath,\${libdir}")
    endif()
    set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    file(RELATIVE_PATH ZV_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
    string(REGEX REPLACE "/$" "" ZV_PC_PREFIX "\${pcfiledir}/${ZV_PC_PREFIX}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${package}.pc.in ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc.in
                   @ONLY)
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc
                  INPUT ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc.in)
    install(FILES ${PROJECT_BINARY_DIR}/package/${ARG_PKG_CONFIG}.pc DESTINATION ${pc_dir})
  endif()

  zv_add_api_reference(${package} COMPONENT ${headers_component} INCLUDE_DIR ${include_dir} LIBRARIES ${libraries})
endfunction()

# zv_add_api_reference(<package> COMPONENT <headers component> INCLUDE_DIR <dir>
#                      LIBRARIES <library>...)
# The target `docs` (when Doxygen is found): installs the headers component
# into a folder of the build tree and builds the HTML reference of what is
# there with Doxygen (cmake/Doxyfile.in), so the reference shows exactly
# what a host gets, at the paths it includes. Any Doxygen warning fails the
# build; the test docs.build keeps it so. A reference that was built is
# installed under share/doc/<package>/html.
function(zv_add_api_reference package)
  cmake_parse_arguments(ARG "" "COMPONENT;INCLUDE_DIR" "LIBRARIES" ${ARGN})
  find_package(Doxygen)
  if(NOT DOXYGEN_FOUND)
    return()
  endif()
  set(docs ${PROJECT_BINARY_DIR}/docs)
  set(stage ${docs}/installed)
  # The export macros (GenerateExportHeader: <LIBRARY>_EXPORT) mark what a
  # library offers; in the reference they stand for nothing.
  set(ZV_DOXYGEN_PREDEFINED "")
  foreach(library IN LISTS ARG_LIBRARIES)
    string(TOUPPER ${library} macro)
    string(APPEND ZV_DOXYGEN_PREDEFINED " ${macro}_EXPORT=")
  endforeach()
  set(ZV_DOXYGEN_INPUT ${stage}/${ARG_INCLUDE_DIR})
  set(ZV_DOXYGEN_OUTPUT ${docs})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${docs}/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${docs}/html
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --component ${ARG_COMPONENT} --prefix ${stage}
    COMMAND Doxygen::doxygen ${docs}/Doxyfile
    COMMENT "Building the API reference of the installed headers in ${docs}/html"
    VERBATIM)
  install(DIRECTORY ${docs}/html DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
  if(ZV_BUILD_TESTS)
    add_test(NAME docs.build COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target docs)
    # The package tests install the build tree, html included.
    set_tests_properties(docs.build PROPERTIES TIMEOUT 300 LABELS docs RESOURCE_LOCK ${package}_install_tree)
  endif()
endfunction()
