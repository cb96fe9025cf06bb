# Installing the tree as a CMake package: a host writes
#   find_package(PersistenceZvFileIO CONFIG REQUIRED)
#   target_link_libraries(host PRIVATE Zorvan::Persistence_ZvFileIO)
include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Every library of this tree that `target` links, directly or through
# others, appended to the list named `out`. Imported targets (Boost,
# Threads) come from elsewhere; INTERFACE targets of the tree
# (Services_Common) are linked privately by shared libraries, so nothing
# of them reaches a user of the installed libraries.
function(_zv_linked_libraries target out)
  set(found ${${out}})
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(link IN LISTS links)
    if(NOT TARGET ${link} OR link IN_LIST found)
      continue()
    endif()
    get_target_property(imported ${link} IMPORTED)
    get_target_property(type ${link} TYPE)
    if(imported OR NOT type MATCHES "^(SHARED|STATIC)_LIBRARY$")
      continue()
    endif()
    list(APPEND found ${link})
    _zv_linked_libraries(${link} found)
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# zv_install_package(<package> NAMESPACE <ns> TARGETS <library>...)
# Installs the libraries with every library of the tree they link, their
# header file sets (zv_add_library) under include/, and the package files under
# lib/cmake/<package>/: the exported targets <ns><library>, the config
# made from cmake/<package>Config.cmake.in, and a version file that
# accepts requests for the same major version.
function(zv_install_package package)
  cmake_parse_arguments(ARG "" "NAMESPACE" "TARGETS" ${ARGN})
  set(libraries ${ARG_TARGETS})
  foreach(target IN LISTS ARG_TARGETS)
    _zv_linked_libraries(${target} libraries)
  endforeach()
  list(REMOVE_DUPLICATES libraries)

  if(NOT WIN32 AND NOT APPLE)
    # Each installed library finds the libraries it links beside itself,
    # wherever the tree is installed; a host then needs no library path
    # for the ones it does not link itself.
    set_target_properties(${libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  install(TARGETS ${libraries} EXPORT ${package}Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILE_SET export_header DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
endfunction()
