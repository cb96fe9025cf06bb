# The third-party parts of a cross build. Its toolchain looks for packages
# in the target's system root only, where Debian installs none of them:
# Boost, CLI11 and nlohmann-json are used as headers, which are the same
# for every target, and GoogleTest is built from its sources.
include_guard(GLOBAL)

set(ZV_CROSS_BOOST_INCLUDE_DIR /usr/include CACHE PATH "Folder holding the boost/ headers for a cross build")
set(ZV_CROSS_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")
set(ZV_CROSS_CLI11_INCLUDE_DIR /usr/include CACHE PATH "Folder holding CLI11's CLI/ headers for a cross build")
set(ZV_CROSS_JSON_INCLUDE_DIR /usr/include CACHE PATH "Folder holding nlohmann-json's nlohmann/ headers for a cross build")

# _zv_cross_headers(<target> <folder> <leaf>): an INTERFACE target whose
# include path holds <folder>/<leaf> alone. The leaf is linked into a
# folder of the build tree because its parent (/usr/include) also holds the
# build machine's C library headers, which would shadow the target's if it
# were on the include path.
function(_zv_cross_headers target folder leaf)
  if(NOT EXISTS ${folder}/${leaf})
    message(FATAL_ERROR "${folder}/${leaf} is missing: scripts/install-deps.sh --windows installs it")
  endif()
  set(root ${PROJECT_BINARY_DIR}/cross-headers/${leaf})
  if(NOT EXISTS ${root}/${leaf})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${folder}/${leaf} ${root}/${leaf} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED)
  target_include_directories(${target} SYSTEM INTERFACE ${root})
endfunction()

# Boost::headers: boost::mutex is header-only, so no Boost library is needed.
file(STRINGS ${ZV_CROSS_BOOST_INCLUDE_DIR}/boost/version.hpp _zv_boost_version
     REGEX "^#define BOOST_VERSION [0-9]+$")
string(REGEX REPLACE "^#define BOOST_VERSION " "" _zv_boost_version "${_zv_boost_version}")
if(NOT _zv_boost_version OR _zv_boost_version LESS 107400)
  message(FATAL_ERROR "Boost 1.74 or newer is needed in ${ZV_CROSS_BOOST_INCLUDE_DIR}/boost")
endif()
_zv_cross_headers(Boost::headers ${ZV_CROSS_BOOST_INCLUDE_DIR} boost)
# The zvfile program's command line and its info --json: both header-only,
# under the names their CMake packages give them.
_zv_cross_headers(CLI11::CLI11 ${ZV_CROSS_CLI11_INCLUDE_DIR} CLI)
_zv_cross_headers(nlohmann_json::nlohmann_json ${ZV_CROSS_JSON_INCLUDE_DIR} nlohmann)
# The pages' checksum (XXH3), used as a header alone.
set(ZV_CROSS_XXHASH_INCLUDE_DIR /usr/include CACHE PATH "Folder holding xxhash.h for a cross build")
_zv_cross_headers(xxHash::xxhash ${ZV_CROSS_XXHASH_INCLUDE_DIR} xxhash.h)

# GoogleTest and GMock built with the cross compiler. Their targets come
# with the GTest:: aliases the tests link; SYSTEM keeps the tree's warning
# flags away from their headers, as for the installed package.
# Static whatever BUILD_SHARED_LIBS says of the tree's own libraries: the
# test programs carry them, as they carry MinGW's runtime.
if(ZV_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(zv_shared_libs ${BUILD_SHARED_LIBS})
  set(BUILD_SHARED_LIBS OFF)
  add_subdirectory(${ZV_CROSS_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(BUILD_SHARED_LIBS ${zv_shared_libs})
endif()

# Where scripts/sqlite-source.sh and scripts/boost-locale-source.sh keep
# what they make from Debian's source packages.
include(ZvHelpers)
zv_source_cache(_zv_cache)

# SQLite for a Windows build, compiled here from SQLite's amalgamation,
# which scripts/sqlite-source.sh makes from Debian's source package
# (scripts/install-deps.sh --windows runs it). A build for the build
# machine uses the system's SQLite instead (find_package(SQLite3)).
#
# A static library, linked into Services_DesignStore.dll: the design
# application that loads our DLLs may well ship a sqlite3.dll of its own,
# and one of another version under the same name in its folder would break
# one of the two. The tests and the fuzz replay that open SQLite files
# themselves link their own copy; on Windows two copies in one process
# share files safely, as SQLite's locks there belong to each file handle.
if(WIN32)
  set(ZV_SQLITE_AMALGAMATION_DIR ${_zv_cache}/sqlite3 CACHE PATH "Folder holding sqlite3.c and sqlite3.h for a Windows build")
  set(_zv_sqlite ${ZV_SQLITE_AMALGAMATION_DIR})
  if(NOT EXISTS ${_zv_sqlite}/sqlite3.c OR NOT EXISTS ${_zv_sqlite}/sqlite3.h)
    message(FATAL_ERROR "SQLite's amalgamation is not in ${_zv_sqlite}: run scripts/install-deps.sh --windows "
                        "(or scripts/sqlite-source.sh ${_zv_sqlite})")
  endif()
  file(STRINGS ${_zv_sqlite}/sqlite3.h _zv_sqlite_version REGEX "^#define SQLITE_VERSION +\"")
  string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" _zv_sqlite_version "${_zv_sqlite_version}")
  set(_zv_sqlite_origin "")
  if(EXISTS ${_zv_sqlite}/debian-version)
    file(STRINGS ${_zv_sqlite}/debian-version _zv_sqlite_origin LIMIT_COUNT 1)
    set(_zv_sqlite_origin " from Debian's sqlite3 ${_zv_sqlite_origin}")
  endif()
  message(STATUS "SQLite ${_zv_sqlite_version}${_zv_sqlite_origin}: ${_zv_sqlite}")

  add_library(SQLite3 STATIC ${_zv_sqlite}/sqlite3.c)
  add_library(SQLite::SQLite3 ALIAS SQLite3)
  target_include_directories(SQLite3 SYSTEM INTERFACE ${_zv_sqlite})
  # The engine settings of Debian's libsqlite3 that decide how a database
  # is written and what it may hold, so that a design behaves alike on
  # Linux and Windows; of its extensions the store uses none, and loading
  # extensions is left out altogether. No debug information: it would
  # triple the build time of the one large file.
  target_compile_definitions(SQLite3 PRIVATE
    SQLITE_THREADSAFE=1 SQLITE_SECURE_DELETE SQLITE_LIKE_DOESNT_MATCH_BLOBS SQLITE_MAX_SCHEMA_RETRY=25
    SQLITE_MAX_VARIABLE_NUMBER=250000 SQLITE_OMIT_LOAD_EXTENSION)
  target_compile_options(SQLite3 PRIVATE -g0 -w)
endif()

# Boost.Locale for a Windows build, for the gettext catalogue
# (Services_TranslationGettext): compiled here from the sources that
# scripts/boost-locale-source.sh takes from Debian's source package of the
# Boost whose headers the build uses. The parts are those Boost's own build
# takes for Windows without ICU or iconv: the Windows API backend (text
# conversion through MultiByteToWideChar) and the standard library's; the
# message catalogues are read by the code all backends share.
#
# A static library, linked into Services_TranslationGettext.dll alone:
# nothing of it is exported (without BOOST_LOCALE_DYN_LINK its functions
# carry no dllexport), so a host's own Boost.Locale of another version
# cannot meet it.
if(WIN32 AND ZV_WITH_GETTEXT)
  set(ZV_BOOST_LOCALE_SOURCE_DIR ${_zv_cache}/boost-locale CACHE PATH
      "Folder holding Boost.Locale's src/ for a Windows build (scripts/boost-locale-source.sh)")
  set(_zv_locale ${ZV_BOOST_LOCALE_SOURCE_DIR})
  if(NOT EXISTS ${_zv_locale}/src/shared/message.cpp OR NOT EXISTS ${_zv_locale}/boost-version)
    message(FATAL_ERROR "Boost.Locale's sources are not in ${_zv_locale}: run scripts/install-deps.sh --windows "
                        "(or scripts/boost-locale-source.sh ${_zv_locale})")
  endif()
  file(STRINGS ${_zv_locale}/boost-version _zv_locale_version LIMIT_COUNT 1)
  math(EXPR _zv_major "${_zv_boost_version} / 100000")
  math(EXPR _zv_minor "${_zv_boost_version} / 100 % 1000")
  math(EXPR _zv_patch "${_zv_boost_version} % 100")
  if(NOT _zv_locale_version STREQUAL "${_zv_major}.${_zv_minor}.${_zv_patch}")
    message(FATAL_ERROR "Boost.Locale's sources in ${_zv_locale} are of Boost ${_zv_locale_version}, the headers in "
                        "${ZV_CROSS_BOOST_INCLUDE_DIR} of ${_zv_major}.${_zv_minor}.${_zv_patch}: remove the folder "
                        "and run scripts/install-deps.sh --windows")
  endif()
  file(STRINGS ${_zv_locale}/debian-version _zv_locale_origin LIMIT_COUNT 1)
  message(STATUS "Boost.Locale ${_zv_locale_version} from Debian's Boost ${_zv_locale_origin}: ${_zv_locale}")

  set(_zv_locale_sources
    encoding/codepage.cpp
    shared/date_time.cpp shared/format.cpp shared/formatting.cpp shared/generator.cpp shared/ids.cpp
    shared/localization_backend.cpp shared/message.cpp shared/mo_lambda.cpp
    util/codecvt_converter.cpp util/default_locale.cpp util/gregorian.cpp util/info.cpp util/locale_data.cpp
    std/codecvt.cpp std/collate.cpp std/converter.cpp std/numeric.cpp std/std_backend.cpp
    win32/collate.cpp win32/converter.cpp win32/lcid.cpp win32/numeric.cpp win32/win_backend.cpp)
  list(TRANSFORM _zv_locale_sources PREPEND ${_zv_locale}/src/)
  add_library(BoostLocale STATIC ${_zv_locale_sources})
  add_library(Boost::locale ALIAS BoostLocale)
  target_link_libraries(BoostLocale PUBLIC Boost::headers)
  target_compile_definitions(BoostLocale PRIVATE BOOST_LOCALE_NO_POSIX_BACKEND=1 BOOST_THREAD_NO_LIB=1)
  # Linked into a DLL.
  set_target_properties(BoostLocale PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # Third-party code: none of the tree's warnings, no debug information.
  target_compile_options(BoostLocale PRIVATE -g0 -w)
endif()
