/* The tables that read a database page by page and cell by cell
   (sqlite_dbdata, sqlite_dbptr), which SQLite's recover extension and
   salvage register on their connections. Their source marks its entry
   point for export from a DLL, as a loadable extension's is; compiled into
   the salvage library, nothing of SQLite may leave it, so the mark is taken
   away here. The headers the source includes come first, unchanged. */
#include <assert.h>
#include <string.h>

#include "sqlite3ext.h"

#ifdef _WIN32
#undef __declspec
#define __declspec(mark)
#endif

#include "dbdata.c"
