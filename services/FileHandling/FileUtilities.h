#pragma once
/// @file
/// FileUtilities: the static file operations the library's primitives call,
/// each a thin function over the installed Env (Env.h) through Folder: a
/// test replaces the Env (ScopedEnv) to see, fail or record every call.
///
/// Convention for a rewrite through a temporary file: the new content is
/// written under the temporary name, in the folder of the file it replaces,
/// then replaceFile(temporary, target) puts it in place. Hosts reach this
/// through ZvFileIO::restoreFileName(target, temporary, mode), which passes
/// its second argument first.
///
/// Thread-safety: all operations may be called concurrently.

#include <system_error>

#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/FileName.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileUtilities {
public:
    /// True when something exists under `name`. With followSymlinks false a
    /// symbolic link counts as existing even when what it points to does not;
    /// with true the link's final target must exist. A name the system
    /// cannot look at is no file.
    static bool exists(const FileName& name, bool followSymlinks);
    /// True when the file exists (links followed) and may not be written. On
    /// POSIX: no write permission bit is set (then even a privileged process
    /// is refused), or this process may not write it, judged for its
    /// effective user and groups by the owner and group bits, the ACL, a
    /// read-only mount or an immutable flag; so the same file can be
    /// read-only to one user and writable to another. On Windows: it has the
    /// read-only attribute or lives on a read-only volume, whoever asks.
    static bool isReadOnly(const FileName& name);
    /// Removes the file (a link, not what it points to). Throws
    /// FileNameException naming the file and the system's reason when it
    /// cannot, also when nothing is there; the message is logged. A removal
    /// that returned is final: the folder is flushed afterwards, so that the
    /// file does not come back after a power cut (a folder that cannot be
    /// flushed is logged; the removal stands). Windows offers no flush of a
    /// folder, refuses to remove a read-only file and waits briefly for a
    /// file another program holds open for a moment.
    static void remove(const FileName& name);
    /// Puts the content of `source` in place under the name `destination`,
    /// atomically: afterwards `destination` holds either its old content or
    /// all of source's, never a mix, and `source` is gone. Returns false, and
    /// leaves `destination` as it was, when that cannot be done; see
    /// replace() for why. Never throws.
    static bool replaceFile(const FileName& source, const FileName& destination);
    /// replaceFile, saying why it failed: no error, or the error of the step
    /// that failed; a refusal decided here is the std::errc closest to it. A
    /// failure is logged, naming both files and the step.
    ///
    /// Links at the destination are followed: the file they end in is
    /// replaced, the links stay (no_such_file_or_directory,
    /// too_many_symbolic_link_levels or permission_denied when they lead to
    /// no file it may use). The source must lie in the folder of that file
    /// (cross_device_link otherwise: nothing is copied) and be a regular file
    /// with no other name (too_many_symbolic_link_levels for a link at it,
    /// operation_not_supported for anything else, too_many_links for a second
    /// name); a source whose name holds another file by the time of the
    /// rename is refused (no_such_file_or_directory). The replacement keeps
    /// the destination's access: on POSIX its owner (where the process may
    /// give it), group, permission bits, ACL and extended attributes, on
    /// Windows its attributes, given through a handle of the source. A
    /// source of another user is never changed: it is put in place as it is
    /// when it belongs to the destination's owner, and refused otherwise.
    /// The source is flushed before the rename, the folder after it.
    static std::error_code replace(const FileName& source, const FileName& destination);
};

} // namespace Zorvan
