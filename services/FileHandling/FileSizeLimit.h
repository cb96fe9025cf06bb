#pragma once
/// @file
/// What writing past the file-size limit does to a program. A POSIX system
/// ends a process with the signal SIGXFSZ when it writes beyond the limit
/// its user set (`ulimit -f`). A program that saves designs wants that write
/// to fail instead (EFBIG), like one to a full disk, so that the save is
/// refused in a sentence and the design left as it was.

#include "FileHandling/FileHandlingExport.h"

namespace Zorvan {

/// Makes a write past the file-size limit fail instead of ending the process,
/// by ignoring SIGXFSZ. The setting is the whole process's, so a program
/// calls this when it starts its work, not a library. Windows has no such
/// limit: there it does nothing.
SERVICES_FILEHANDLING_EXPORT void failWritesPastFileSizeLimit();

} // namespace Zorvan
