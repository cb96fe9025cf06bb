#pragma once
/// @file
/// NewFile: a file the save road creates beside a design (the temporary file
/// of a rewrite, the temporary autosave copy) so that it is never looser than
/// the design, from its first byte, and cannot be redirected.
///
/// create() makes the file through the installed Env (Env.h) as a new file
/// in its folder, so it never follows a link planted at the name and never
/// takes over an existing file; it starts readable by its owner alone
/// (mode 0600), and before create() returns it carries the design's owner
/// and group (where the process may give them), permission bits, ACL and
/// extended attributes (Windows: its attributes), all set through the
/// handle it was created with (Env::adoptAccess). Where that cannot all be done the file ends tighter, never looser:
/// without the design's group its group gets no access, and without the
/// design's ACL neither group nor others do; attributes the process may not
/// set (security.* without privilege) are left out.
///
/// Thread-safety: distinct objects may be used on any threads.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/FileName.h"

namespace Zorvan {

class Folder;
struct Site;

/// Which file a name holds: device and inode (Windows: volume serial number
/// and file index).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    /// When the file came to be, in nanoseconds since 1970, where the file
    /// system records it (0 elsewhere, and on Windows, whose file index is
    /// not handed on): a file made after another was removed may get the
    /// same inode number, and is still another file.
    std::uint64_t birth = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// True when `a` and `b` are the same file: the same device and inode, and
/// the same birth where both know it.
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && (a.birth == 0 || b.birth == 0 || a.birth == b.birth);
}

class SERVICES_FILEHANDLING_EXPORT NewFile {
public:
    /// Creates the leaf of `site` empty, with the access of the file at
    /// `like` (no link followed), both in folders the caller holds: the
    /// file is looked at and removed in that folder too, whatever happens
    /// to its path. Throws FileNameException naming the file and the
    /// system's reason when it cannot (the name is taken, the folder cannot
    /// be written, ...).
    static NewFile create(const Site& site, const Site& like);

    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    /// Removes the file when the name still holds it (it was neither put in
    /// place nor kept with release()); in a forked child, does nothing.
    ~NewFile();

    const FileName& name() const noexcept { return m_name; }
    const FileIdentity& identity() const noexcept { return m_identity; }
    /// True when the name still holds the file created here: nothing renamed
    /// or replaced it meanwhile (no link is followed). Throws
    /// FileNameException when the system cannot tell.
    bool unchanged() const;
    /// Keeps the file on disk when this object goes.
    void release() noexcept { m_released = true; }

private:
    SERVICES_FILEHANDLING_NO_EXPORT NewFile(FileName name, FileIdentity identity,
                                            std::shared_ptr<const Folder> folder);
    /// Removes the file when it is neither released nor replaced; never throws.
    SERVICES_FILEHANDLING_NO_EXPORT void discard() noexcept;

    FileName m_name;
    FileIdentity m_identity;
    /// The folder the file was made in.
    std::shared_ptr<const Folder> m_folder;
    bool m_released = false;
    /// The process that made the file: a forked child's copy removes nothing.
    std::uint64_t m_process;
};

/// The identity of the file `name` holds, no link followed; false when
/// nothing is there. Throws FileNameException when the system cannot tell.
SERVICES_FILEHANDLING_EXPORT bool identityOf(const FileName& name, FileIdentity& identity);

// The two questions below are answered by the system directly, beside the
// native Env (EnvPosix.cpp, EnvWindows.cpp).

/// True when the file `name` is open, in any program (this one included), in
/// a way that keeps it from being replaced or removed now: on Windows, a
/// handle opened without FILE_SHARE_DELETE, as viewers, virus scanners and
/// SQLite's connections open files. Always false on POSIX, where an open
/// file never keeps a rename from replacing it.
SERVICES_FILEHANDLING_EXPORT bool isHeldOpen(const FileName& name);

/// The longest leaf name, in bytes, that the folder of `name` takes (NAME_MAX
/// of its file system: 255 on most).
SERVICES_FILEHANDLING_EXPORT std::size_t maxLeafNameLength(const FileName& name);

} // namespace Zorvan
