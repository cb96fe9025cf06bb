# `cpack` in a build folder makes the Debian package of what
# `cmake --install` installs, for /usr: persistence-zvfileio_<version>_<arch>.deb,
# binaries stripped, its dependencies found by dpkg-shlibdeps, its shared
# libraries registered with the loader (shlibs file, ldconfig trigger). The
# test package.deb builds a host against it and runs lintian on it.
# ZV_PACKAGE_LIBRARIES names the shared libraries of the tree it holds.
include_guard(GLOBAL)
if(CMAKE_CROSSCOMPILING OR NOT UNIX OR APPLE)
  return()
endif()

# The copyright and the changelog go with every install, beside the README.
set(changelog ${PROJECT_BINARY_DIR}/package/changelog.gz)
execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
                OUTPUT_FILE ${changelog} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed on cmake/debian/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Persistence_ZvFileIO developers <persistence-zvfileio@zorvan.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file-level persistence of design files")
set(CPACK_PACKAGE_DESCRIPTION "Decides whether a design file's format version can be read, saves designs
through a temporary file or in place under a one-writer lock, and keeps the
metadata every saved file carries. Holds the shared libraries, their
headers, the CMake and pkg-config packages for hosts, the zvfile program
and the API reference.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds the package's own libraries in the build tree.
# Hosts' packages find them through the shlibs file below, and the loader's
# cache is renewed by the ldconfig trigger (not by maintainer scripts,
# which CPack would write when it made the shlibs file itself).
set(dirs "")
set(shlibs "")
foreach(library IN LISTS ZV_PACKAGE_LIBRARIES)
  get_target_property(type ${library} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    get_target_property(dir ${library} BINARY_DIR)
    list(APPEND dirs ${dir})
    zv_file_name(file_name ${library})
    string(APPEND shlibs "lib${file_name} ${PROJECT_VERSION_MAJOR} ${ZV_PACKAGE_NAME} (>= ${PROJECT_VERSION})\n")
  endif()
endforeach()
list(REMOVE_DUPLICATES dirs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dirs})
set(control ${PROJECT_BINARY_DIR}/package/debian)
file(WRITE ${control}/shlibs "${shlibs}")
file(WRITE ${control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${control}/shlibs ${control}/triggers)
if(shlibs STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "")
endif()
include(CPack)
