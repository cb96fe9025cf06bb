# The SQLite that salvage reads damaged designs with: SQLite's amalgamation
# and its recover extension, compiled here from what scripts/sqlite-source.sh
# takes from Debian's source package (scripts/install-deps.sh runs it). The
# recover extension reads a database page by page through the sqlite_dbpage
# table, which the system's libsqlite3 is built without; everything else in
# the tree keeps using the system's SQLite (or, for Windows, the copy
# ZvCrossDependencies compiles from the same amalgamation).
#
# A static library of hidden symbols, linked into the salvage library only:
# two SQLites meet in one process there, and neither may see the other's
# functions. Salvage never opens a file with it (it hands it the bytes of
# the damaged design), so the two never share a file's locks either.
include_guard(GLOBAL)

include(ZvHelpers)
zv_source_cache(_zv_salvage_cache)
# A Windows build's SQLite comes from the same folder (ZvCrossDependencies).
if(DEFINED ZV_SQLITE_AMALGAMATION_DIR)
  set(_zv_salvage_default ${ZV_SQLITE_AMALGAMATION_DIR})
else()
  set(_zv_salvage_default ${_zv_salvage_cache}/sqlite3)
endif()
set(ZV_SALVAGE_SQLITE_DIR ${_zv_salvage_default} CACHE PATH
    "Folder holding sqlite3.c, sqlite3.h and recover/ (scripts/sqlite-source.sh) for the salvage library")
set(_zv_s ${ZV_SALVAGE_SQLITE_DIR})
foreach(file IN ITEMS sqlite3.c sqlite3.h recover/sqlite3recover.c recover/sqlite3recover.h recover/dbdata.c
                      recover/sqlite3ext.h)
  if(NOT EXISTS ${_zv_s}/${file})
    message(FATAL_ERROR "${_zv_s}/${file} is missing: run scripts/install-deps.sh "
                        "(or scripts/sqlite-source.sh ${_zv_s}; a folder made before it kept the recover "
                        "extension is made anew)")
  endif()
endforeach()

# dbdata.c through PageTables.c, which keeps its entry point from being
# exported from a Windows DLL.
add_library(ZvSalvageSQLite STATIC ${_zv_s}/sqlite3.c ${_zv_s}/recover/sqlite3recover.c
  ${PROJECT_SOURCE_DIR}/Platform/Core/Persistence/DesignSalvage/PageTables.c)
target_include_directories(ZvSalvageSQLite SYSTEM PUBLIC $<BUILD_INTERFACE:${_zv_s}> $<BUILD_INTERFACE:${_zv_s}/recover>)
# sqlite_dbpage for the recover extension; SQLITE_CORE makes dbdata.c call
# SQLite directly instead of through a loaded extension's table. The
# engine settings that decide what a database may hold are Debian's.
target_compile_definitions(ZvSalvageSQLite PRIVATE
  SQLITE_ENABLE_DBPAGE_VTAB SQLITE_CORE SQLITE_THREADSAFE=1 SQLITE_SECURE_DELETE SQLITE_LIKE_DOESNT_MATCH_BLOBS
  SQLITE_MAX_SCHEMA_RETRY=25 SQLITE_MAX_VARIABLE_NUMBER=250000 SQLITE_OMIT_LOAD_EXTENSION)
# A static build of the package installs it beside the salvage library,
# which its users then link.
set_target_properties(ZvSalvageSQLite PROPERTIES
  C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON
  ZV_DESCRIPTION "SQLite with its recover extension, for salvage alone (symbols hidden)")
# Third-party code: none of the tree's warnings, no debug information
# (it would triple the build time of the one large file).
target_compile_options(ZvSalvageSQLite PRIVATE -g0 -w -O2)
target_link_libraries(ZvSalvageSQLite PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
if(NOT WIN32)
  target_link_libraries(ZvSalvageSQLite PRIVATE m)
endif()
