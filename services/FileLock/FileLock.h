#pragma once
/// @file
/// FileLock: the one-writer lock of a design file. Every road that writes a
/// design (a rewrite, an update in place, an autosave, a first save) holds it
/// from before it picks the name it writes to until the new content is in
/// place, so that two saves of one design never interleave, whichever
/// processes run them.
///
/// The lock is a byte-range lock on the design file itself, on one byte that
/// SQLite never reads, writes or locks (kLockOffset, above SQLite's lock
/// bytes at 1 GiB), taken through a handle of its own with Env::lock (see
/// FileHandling/Env.h): an open file description lock on Linux
/// (F_OFD_SETLK), LockFileEx on Windows. It therefore neither disturbs
/// SQLite's locks on the same file nor is disturbed by them, also on NFS,
/// where flock() would conflict with them. Every file operation and every
/// pause between tries goes through the installed Env.
///
/// A lock on a name is a lock on a file: after locking, the file the name
/// now holds is compared with the locked one (sameFile); when a rewrite
/// renamed a new file over the design meanwhile, the old one is let go and
/// the new one locked. A lock is never held on a file that is no longer the
/// design.
///
/// Closing any descriptor of a file drops every POSIX record lock the
/// process holds on it, SQLite's included. A FileLock keeps its descriptor
/// for its whole life: destroy it only after every SQLite connection this
/// process has on the design is closed (declare it first).
///
/// Thread-safety: distinct FileLock objects may be used on any threads. Two
/// threads of one process asking for the lock of one design exclude each
/// other like two processes do.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <system_error>

#include "Exceptions/FileError.h"
#include "FileHandling/Folder.h"
#include "FileLock/FileLockExport.h"

namespace Zorvan {

class SERVICES_FILELOCK_EXPORT FileLock {
public:
    /// The byte that is locked: SQLite locks 0x40000000 to 0x400001FF and
    /// leaves the page that holds them unused.
    static constexpr std::int64_t kLockOffset = 0x40000000 + 0x400;
    /// How long a name may hold nothing while another program replaces its
    /// file: a replace on Windows moves the old file aside before it moves
    /// the new one in. Allows for a busy machine.
    static constexpr std::chrono::milliseconds replaceGap() { return std::chrono::milliseconds(250); }

    struct Options {
        /// Create the file, empty, when nothing is at the name (mode 0666
        /// less the umask): a first save locks the name it is about to fill.
        bool create = false;
        /// How long to wait for another writer before giving up; zero: do
        /// not wait.
        std::chrono::milliseconds wait{0};
        /// Called once, before waiting, with why it waits: FileErrc::Busy
        /// when another writer holds the lock (or is replacing the file),
        /// FileErrc::HeldOpen when (Windows) another program has the file
        /// open without letting others write it. Both compare equal to
        /// std::errc::device_or_resource_busy.
        std::function<void(std::error_code why)> onWait{};
        /// The name, beside the file, that a replace of the file moves the
        /// new version from (a save's temporary file). While it holds a file,
        /// an empty name is taken, for replaceGap(), for a replace between
        /// its two renames and looked at again, rather than for a missing
        /// file or one to create.
        std::string replacedFrom{};
    };

    /// Takes the lock of the file `path` names (links at it resolved as the
    /// kernel would, then the file opened without following one). Waits
    /// between tries are at most 25 ms. Throws FileError (FileRole::Lock)
    /// with std::errc::device_or_resource_busy when another writer still
    /// holds it after
    /// options.wait, or FileErrc::HeldOpen when (Windows) another program
    /// still has the file open without letting others write it; and
    /// FileNameException (with the reason as code()) when the file does not
    /// exist (and options.create is false), cannot be opened for writing, or
    /// is not a regular file (a FIFO or device at the name is never opened
    /// in a way that blocks).
    static FileLock acquire(const std::string& path, const Options& options);
    /// The same, of the file at `site`, which the caller resolved and holds:
    /// nothing is resolved again, and a link put at the leaf meanwhile is
    /// never followed.
    static FileLock acquire(const Site& site, const Options& options);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    /// Releases the lock. When acquire created the file and the name still
    /// holds it, empty (a first save that did not finish), it is removed
    /// first, so that a failed first save leaves no file behind. A lock a
    /// forked child inherited stays the parent's: dropping it there closes
    /// the child's descriptor and nothing else.
    ~FileLock();

    const std::string& path() const;
    /// True when acquire created the file.
    bool createdFile() const;
    /// Keeps the file acquire created when the lock goes (it is removed
    /// then while it is empty): a save filled or replaced it.
    void keepFile() noexcept;
    /// The locked file.
    FileIdentity identity() const;

private:
    struct Impl;
    SERVICES_FILELOCK_NO_EXPORT explicit FileLock(std::unique_ptr<Impl> impl);
    /// Tries the file where `where` says it is now, until it is locked.
    SERVICES_FILELOCK_NO_EXPORT static FileLock acquire(const std::function<Site()>& where, const std::string& path,
                                                        const Options& options);
    std::unique_ptr<Impl> m_impl;
};

} // namespace Zorvan
