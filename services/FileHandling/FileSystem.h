#pragma once
/// @file
/// FileSystem: the operations FileUtilities forwards to. The native one is
/// installed by default; tests and hosts install doubles (recording,
/// failing, crash-simulating) with FileUtilities::setFileSystem.
///
/// Thread-safety: implementations must allow concurrent calls.

#include <memory>

#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/FileName.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileSystem {
public:
    virtual ~FileSystem();

    /// True when something exists under `name`. With followSymlinks false a
    /// symbolic link counts as existing even when what it points to does not;
    /// with true the link's final target must exist.
    virtual bool exists(const FileName& name, bool followSymlinks) = 0;
    /// True when the file exists and may not be written. On POSIX: no write
    /// permission bit is set (then even a privileged process is refused), or
    /// this process may not write it, judged for its effective user and
    /// groups by the owner and group bits, the ACL, a read-only mount or an
    /// immutable flag; so the same file can be read-only to one user and
    /// writable to another. On Windows: it has the read-only attribute or
    /// lives on a read-only volume, whoever asks.
    virtual bool isReadOnly(const FileName& name) = 0;
    /// Removes the file. Throws FileNameException naming the file and the
    /// system's reason when it cannot. A removal that returned is final: on
    /// POSIX the folder is synced afterwards, so that the file does not come
    /// back after a power cut (a folder that cannot be synced is logged; the
    /// removal stands). Windows offers no flush of a folder: there the file
    /// system decides when the removal reaches the disk. (Windows refuses to
    /// remove a read-only file; a file another program holds open for a
    /// moment is waited for briefly.)
    virtual void remove(const FileName& name) = 0;
    /// Puts the content of `source` in place under the name `destination`,
    /// atomically: afterwards `destination` holds either its old content or
    /// all of source's, never a mix, and `source` is gone. Returns false, and
    /// leaves `destination` as it was, when that cannot be done. Never throws.
    /// The replacement keeps what was set on the destination: on POSIX its
    /// owner (where the process may give it), group, permission bits, ACL and
    /// extended attributes, on Windows its attributes, given through a handle
    /// of the source; a source that is a symbolic link, not a regular file or
    /// linked under another name too is refused, and so is one whose name
    /// holds another file by the time of the rename. A source of another
    /// user is never changed: it is put in place as it is when it belongs to
    /// the destination's owner, and refused otherwise. Links at the
    /// destination are followed: the file they end in is replaced.
    virtual bool replaceFile(const FileName& source, const FileName& destination) = 0;
};

/// Forwards every call to another FileSystem, so that a test double can
/// override only the operation it is about.
class SERVICES_FILEHANDLING_EXPORT FileSystemWrapper : public FileSystem {
public:
    explicit FileSystemWrapper(std::shared_ptr<FileSystem> target);
    ~FileSystemWrapper() override;

    bool exists(const FileName& name, bool followSymlinks) override;
    bool isReadOnly(const FileName& name) override;
    void remove(const FileName& name) override;
    bool replaceFile(const FileName& source, const FileName& destination) override;

    FileSystem& target() const { return *m_target; }

private:
    std::shared_ptr<FileSystem> m_target;
};

/// The operating system's file system.
SERVICES_FILEHANDLING_EXPORT std::shared_ptr<FileSystem> nativeFileSystem();

} // namespace Zorvan
