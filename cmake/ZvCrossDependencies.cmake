# The third-party parts of a cross build. Debian packages Boost and
# GoogleTest for the build machine only; for another target both come from
# their platform-independent forms: Boost's headers, GoogleTest's sources.
include_guard(GLOBAL)

set(ZV_CROSS_BOOST_INCLUDE_DIR /usr/include CACHE PATH "Folder holding the boost/ headers for a cross build")
set(ZV_CROSS_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")

# Boost::headers: the boost/ folder alone. boost::mutex is header-only, so
# no Boost library is needed. The folder is linked into the build tree
# because its parent holds the build machine's C library headers, which
# would shadow the target's if it were on the include path.
file(STRINGS ${ZV_CROSS_BOOST_INCLUDE_DIR}/boost/version.hpp _zv_boost_version
     REGEX "^#define BOOST_VERSION [0-9]+$")
string(REGEX REPLACE "^#define BOOST_VERSION " "" _zv_boost_version "${_zv_boost_version}")
if(NOT _zv_boost_version OR _zv_boost_version LESS 107400)
  message(FATAL_ERROR "Boost 1.74 or newer is needed in ${ZV_CROSS_BOOST_INCLUDE_DIR}/boost")
endif()
set(_zv_boost_root ${PROJECT_BINARY_DIR}/boost-headers)
if(NOT EXISTS ${_zv_boost_root}/boost)
  file(MAKE_DIRECTORY ${_zv_boost_root})
  file(CREATE_LINK ${ZV_CROSS_BOOST_INCLUDE_DIR}/boost ${_zv_boost_root}/boost SYMBOLIC)
endif()
add_library(Boost::headers INTERFACE IMPORTED)
target_include_directories(Boost::headers SYSTEM INTERFACE ${_zv_boost_root})

# GoogleTest and GMock built with the cross compiler. Their targets come
# with the GTest:: aliases the tests link; SYSTEM keeps the tree's warning
# flags away from their headers, as for the installed package.
if(ZV_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZV_CROSS_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
