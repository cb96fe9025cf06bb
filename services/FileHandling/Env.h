#pragma once
/// @file
/// Env: every operation the save road makes on files, in one replaceable
/// place. The file service, new files, the one-writer lock, held folders and
/// the design store's SQLite connections (through a SQLite VFS of the
/// store's own) all act through the Env installed now: the native one
/// unless a test installs another that counts, fails or records calls and
/// forwards them (EnvWrapper), the way a storage engine's environment is
/// replaced in its tests.
///
/// Every name is a leaf in a folder that was opened before (openFolder), so
/// what a caller checked is what it acts on whatever happens to the path
/// meanwhile, and no operation follows a link at a leaf: a link is looked
/// at, read, renamed or removed, never opened. Failures are returned as
/// std::error_code (the system's errno or Windows error, in
/// std::system_category()); nothing here throws but std::bad_alloc.
///
/// Thread-safety: an Env may be used from any number of threads at once.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/NewFile.h"

namespace Zorvan {

/// What a name in a folder holds, or an open file is: its own entry, no
/// link followed.
struct FileFacts {
    enum class Kind { Regular, Link, Folder, Other };
    Kind kind = Kind::Other;
    FileIdentity identity;
    std::uint64_t size = 0;
    /// How many names the file has.
    std::uint64_t links = 1;
    /// Its owner's user id; nullopt where the system keeps none (Windows).
    std::optional<std::uint32_t> owner;
    /// Its group's id; nullopt where the system keeps none (Windows).
    std::optional<std::uint32_t> group;
    /// Its permission bits (POSIX); 0 where the system has none.
    std::uint32_t mode = 0;
};

/// A file or folder open through an Env: a descriptor on POSIX, a handle on
/// Windows. Closed when the object goes. Move-only.
class SERVICES_FILEHANDLING_EXPORT EnvHandle {
public:
    EnvHandle() noexcept = default;
    explicit EnvHandle(std::intptr_t native) noexcept : m_native(native) {}
    EnvHandle(EnvHandle&& other) noexcept : m_native(other.release()) {}
    EnvHandle& operator=(EnvHandle&& other) noexcept;
    ~EnvHandle();
    EnvHandle(const EnvHandle&) = delete;
    EnvHandle& operator=(const EnvHandle&) = delete;

    explicit operator bool() const noexcept { return m_native != kClosed; }
    std::intptr_t native() const noexcept { return m_native; }
    /// Hands the native handle over; the caller closes it from then on.
    std::intptr_t release() noexcept {
        const std::intptr_t native = m_native;
        m_native = kClosed;
        return native;
    }

    /// No descriptor on POSIX, INVALID_HANDLE_VALUE on Windows.
    static constexpr std::intptr_t kClosed = -1;

private:
    std::intptr_t m_native = kClosed;
};

/// How Env::open opens a leaf.
struct OpenOptions {
    enum class Access { Read, ReadWrite };
    enum class Creation {
        Existing,    ///< only what is there
        New,         ///< a new file, never one that is there (O_EXCL)
        NewOrExisting,
    };
    Access access = Access::Read;
    Creation creation = Creation::Existing;
    /// The permission bits of a new file (POSIX, less the umask); 0600 keeps
    /// it to its owner until it is given the access it should have.
    std::uint32_t mode = 0600;
};

/// A range of bytes of a file to lock.
struct ByteRange {
    std::int64_t offset = 0;
    std::int64_t length = 1;
};

class SERVICES_FILEHANDLING_EXPORT Env {
public:
    enum class Lock { Unlocked, Shared, Exclusive };

    virtual ~Env();

    /// The Env every operation goes through now (the native one unless
    /// another was installed).
    static std::shared_ptr<Env> current();
    /// The operating system's.
    static std::shared_ptr<Env> native();
    /// Installs `env` (null: the native one); returns the one it replaces.
    static std::shared_ptr<Env> install(std::shared_ptr<Env> env);

    /// Opens the folder `path` names, links in the path followed by the
    /// system (and refused where it refuses them).
    virtual std::error_code openFolder(const std::string& path, EnvHandle& folder) = 0;
    /// The path the system reached `folder` by, every link resolved;
    /// std::errc::filename_too_long when it is longer than a path may be.
    virtual std::error_code pathOf(const EnvHandle& folder, std::string& path) = 0;
    /// What `leaf` holds; std::errc::no_such_file_or_directory when nothing.
    virtual std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) = 0;
    /// Where the link `leaf` points.
    virtual std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) = 0;
    /// Opens the file `leaf` holds; never follows a link there
    /// (std::errc::too_many_symbolic_link_levels), never blocks on a FIFO
    /// or device, and refuses anything but a regular file.
    virtual std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                                 EnvHandle& file) = 0;
    /// What a rename does when its new name is taken.
    enum class WhenTaken {
        Replace, ///< the file (or link) there is replaced, in one step
        Refuse,  ///< nothing changes: std::errc::file_exists
    };
    /// Renames `from` to `to`, both in `folder`; a link at either is
    /// renamed or replaced, not followed. With WhenTaken::Refuse a file put
    /// at `to` by anyone up to the rename itself is never replaced.
    virtual std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                                   WhenTaken whenTaken) = 0;
    /// Removes the name `leaf` (a link, not what it points to). Windows: a
    /// file another program holds for a moment is waited for briefly.
    virtual std::error_code remove(const EnvHandle& folder, const std::string& leaf) = 0;
    /// Removes the name `leaf` only while it holds `file`, so that a file
    /// put under the name meanwhile is left alone (Windows: checked and
    /// removed through one handle; POSIX has no such call, and looks right
    /// before it removes). std::errc::no_such_file_or_directory when the
    /// name holds nothing or another file.
    virtual std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) = 0;
    /// Whether this process may write `leaf` (empty: create files in the
    /// folder), judged for its effective user and groups: no error, or why
    /// not (permission_denied, read_only_file_system, ...). A file without
    /// any write permission bit is refused even to a privileged process,
    /// which the system would let write; on Windows a file is refused for
    /// its read-only attribute (a folder's only marks a customised view) or
    /// a read-only volume, whoever asks.
    virtual std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) = 0;

    /// What the open file (or folder) is.
    virtual std::error_code facts(const EnvHandle& file, FileFacts& facts) = 0;
    /// Reads up to `into.size()` bytes at `offset`; `got` is how many (fewer
    /// at the end of the file).
    virtual std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                                 std::size_t& got) = 0;
    /// Writes all of `data` at `offset`.
    virtual std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) = 0;
    virtual std::error_code truncate(const EnvHandle& file, std::uint64_t size) = 0;
    /// Flushes the file's content and attributes, or a folder's entries, to
    /// the disk.
    virtual std::error_code sync(const EnvHandle& fileOrFolder) = 0;
    /// Gives `file` the access of `like`: its owner and group where this
    /// process may hand them over, permission bits, ACL and extended
    /// attributes (Windows: its attributes). Never looser than `like` on
    /// the way. Only a file of this process's user is changed: one of
    /// another user is left as it is when it belongs to `like`'s owner,
    /// and refused (operation_not_permitted) otherwise.
    virtual std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) = 0;

    /// Takes or lets go of a lock on `range` of the open file, for this
    /// open file alone (not for the process: closing another handle of the
    /// file keeps it). Never waits: std::errc::resource_unavailable_try_again
    /// while another open file holds a conflicting lock.
    virtual std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) = 0;
    /// Whether another open file, of any program, holds a lock on `range`
    /// that an exclusive lock would conflict with.
    virtual std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) = 0;

    /// Waits `duration` (retries of a lock; tests count instead).
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

/// True when `error` is the portable condition `condition`, whichever
/// module made it. Compare with this, not with ==: each Windows DLL of the
/// tree carries its own C++ library, whose error categories are told apart
/// by address, so `error == condition` fails there for an error made in
/// another DLL (the file service's Env, a test's double).
inline bool means(const std::error_code& error, std::errc condition) {
    const std::error_condition portable = error.default_error_condition();
    return portable.value() == static_cast<int>(condition) && std::string_view(portable.category().name()) == "generic";
}

/// True when `error` says a name holds nothing: nothing is there, a folder
/// on the way is none, or the name is one no file can have on this system
/// (too long, not text the system's names are made of).
inline bool isAbsent(const std::error_code& error) {
    return means(error, std::errc::no_such_file_or_directory) || means(error, std::errc::not_a_directory) ||
           means(error, std::errc::filename_too_long) || means(error, std::errc::illegal_byte_sequence);
}

/// True when `error` is the system refusing this user (a permission, a
/// read-only file system), not failing.
inline bool isDenied(const std::error_code& error) {
    return means(error, std::errc::permission_denied) || means(error, std::errc::operation_not_permitted) ||
           means(error, std::errc::read_only_file_system);
}

/// The system's text for `error` ("Permission denied"), in the user's
/// language where the system has one.
SERVICES_FILEHANDLING_EXPORT std::string describe(const std::error_code& error);

/// This process's effective user id; nullopt where the system has none.
SERVICES_FILEHANDLING_EXPORT std::optional<std::uint32_t> currentUser();

/// Whether the user `user` belongs to the group `group`, as its primary
/// group or one of its others; false where the system has no groups.
SERVICES_FILEHANDLING_EXPORT bool isMemberOf(std::uint32_t user, std::uint32_t group);

/// The name of the user `id` ("user 1001" for one the system cannot name).
SERVICES_FILEHANDLING_EXPORT std::string userName(std::uint32_t id);

/// The name of the user this process runs as, and of the machine it runs
/// on, as a user would recognise them ("alice", "drafting-pc"); "?" when
/// the system cannot tell.
SERVICES_FILEHANDLING_EXPORT std::string currentUserName();
SERVICES_FILEHANDLING_EXPORT std::string machineName();

/// Whether a file may be renamed over another, or renamed itself, while this
/// process has either open: true on POSIX; false on Windows, where putting a
/// file in place wants the only handle on it and on the file it replaces.
SERVICES_FILEHANDLING_EXPORT bool openFilesMayBeReplaced();

/// Whether the leaf names `a` and `b` name one file in a folder, as the
/// system compares names: byte for byte on POSIX; on Windows regardless of
/// case, as its file systems compare them ("Pump.Bak.zvd" is "pump.bak.zvd").
SERVICES_FILEHANDLING_EXPORT bool sameLeafName(const std::string& a, const std::string& b);

/// Whether a file Env::mayWrite refuses also keeps its name from being
/// replaced or removed: false on POSIX, where the folder's permission alone
/// decides that; true on Windows, whose read-only attribute keeps a file
/// from being renamed over or deleted.
SERVICES_FILEHANDLING_EXPORT bool writeProtectionKeepsName();

/// Forwards every call to another Env, so that a test double overrides only
/// the calls it is about.
class SERVICES_FILEHANDLING_EXPORT EnvWrapper : public Env {
public:
    explicit EnvWrapper(std::shared_ptr<Env> target);
    ~EnvWrapper() override;

    std::error_code openFolder(const std::string& path, EnvHandle& folder) override;
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override;
    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override;
    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) override;
    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override;
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override;
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override;
    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override;
    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override;
    std::error_code facts(const EnvHandle& file, FileFacts& facts) override;
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override;
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override;
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override;
    std::error_code sync(const EnvHandle& fileOrFolder) override;
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override;
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override;
    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override;
    void sleepFor(std::chrono::milliseconds duration) override;

    Env& target() const { return *m_target; }

private:
    std::shared_ptr<Env> m_target;
};

/// Installs an Env for the lifetime of the object, then puts the previous
/// one back.
class SERVICES_FILEHANDLING_EXPORT ScopedEnv {
public:
    explicit ScopedEnv(std::shared_ptr<Env> env);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::shared_ptr<Env> m_previous;
};

} // namespace Zorvan
