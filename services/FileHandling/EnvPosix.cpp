// The native Env on POSIX systems: descriptors, *at() calls relative to a
// folder's descriptor, and open file description locks (F_OFD_SETLK),
// which belong to the open file, not to the process, so that closing some
// other descriptor of a file (SQLite's, another connection's) never drops
// them. Beside it, the questions NewFile.h asks of the system itself.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio> // renameat2
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "FileHandling/Env.h"
#include "FileHandling/Folder.h"
#include "PosixFiles.h"

namespace Zorvan {
namespace internal {

void closeNative(std::intptr_t native) noexcept { ::close(static_cast<int>(native)); }

} // namespace internal

namespace {

#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
constexpr int kGetLock = F_OFD_GETLK;
#else
// Without open file description locks the process's record locks are the
// next best; closing any descriptor of the file drops them.
constexpr int kSetLock = F_SETLK;
constexpr int kGetLock = F_GETLK;
#endif

int fd(const EnvHandle& handle) { return static_cast<int>(handle.native()); }

std::error_code lastError() { return {errno, std::system_category()}; }
std::error_code ok() { return {}; }

FileFacts factsOf(const struct statx& st) {
    FileFacts facts;
    const mode_t mode = st.stx_mode;
    facts.kind = S_ISREG(mode)   ? FileFacts::Kind::Regular
                 : S_ISLNK(mode) ? FileFacts::Kind::Link
                 : S_ISDIR(mode) ? FileFacts::Kind::Folder
                                 : FileFacts::Kind::Other;
    facts.identity.device = makedev(st.stx_dev_major, st.stx_dev_minor); // as stat's st_dev
    facts.identity.inode = st.stx_ino;
    facts.identity.birth = (st.stx_mask & STATX_BTIME) != 0 ? static_cast<std::uint64_t>(st.stx_btime.tv_sec) *
                                                                      1000000000u +
                                                                  st.stx_btime.tv_nsec
                                                            : 0;
    facts.size = st.stx_size;
    facts.links = st.stx_nlink;
    facts.owner = st.stx_uid;
    facts.group = st.stx_gid;
    facts.mode = mode & 07777;
    return facts;
}

std::error_code statAt(int at, const char* leaf, FileFacts& facts) {
    struct statx st {};
    const int flags = AT_SYMLINK_NOFOLLOW | (*leaf == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(at, leaf, flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
        return lastError();
    }
    facts = factsOf(st);
    return ok();
}

bool sameNode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The entry of the folder open as `folder` that is the folder `wanted`.
// Entries are compared by what they hold (device and inode, a mount point's
// the mounted folder's), not by the inode readdir gives, which for a mount
// point is that of the folder underneath.
std::error_code entryHolding(int folder, const struct stat& wanted, std::string& name) {
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); // the listing owns it
    if (listing < 0) {
        return lastError();
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), ::closedir);
    if (!entries) {
        const std::error_code error = lastError();
        ::close(listing);
        return error;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(entries.get());
        if (entry == nullptr) {
            return errno != 0 ? lastError() : std::make_error_code(std::errc::no_such_file_or_directory);
        }
        const std::string_view leaf = entry->d_name;
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || leaf == "." || leaf == "..") {
            continue;
        }
        struct stat st {};
        if (::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && sameNode(st, wanted)) {
            name = leaf;
            return ok();
        }
    }
}

// The path of the folder open as `folder`, every link resolved, read from
// its parents: each one's entry that is the folder below it, up to the
// root, which is its own parent (a chroot's root too, so the path is the
// one this process knows it by). Fails for a folder removed (it has no
// entry), and where a parent may not be read.
std::error_code pathByParents(int folder, std::string& path) {
    struct stat below {};
    if (::fstat(folder, &below) != 0) {
        return lastError();
    }
    std::string found;
    EnvHandle held; // the parent reached last; `folder` itself at first
    for (int at = folder;;) {
        EnvHandle parent(::openat(at, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat above {};
        if (!parent || ::fstat(fd(parent), &above) != 0) {
            return lastError();
        }
        if (sameNode(above, below)) {
            break; // the root, its own parent
        }
        std::string name;
        if (const std::error_code error = entryHolding(fd(parent), below, name)) {
            return error; // a folder removed has no entry in its parent
        }
        found.insert(0, "/" + name);
        if (found.size() >= PATH_MAX) {
            return std::make_error_code(std::errc::filename_too_long);
        }
        held = std::move(parent);
        at = fd(held);
        below = above;
    }
    path = found.empty() ? "/" : found;
    return ok();
}

class PosixEnv final : public Env {
public:
    std::error_code openFolder(const std::string& path, EnvHandle& folder) override {
        const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (opened < 0) {
            return lastError();
        }
        folder = EnvHandle(opened);
        return ok();
    }

    // The system's name for the descriptor in /proc takes one call; where
    // no /proc is mounted (a chroot, a container) the folder's parents name
    // it, at the cost of reading each of them.
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t length =
            ::readlink(("/proc/self/fd/" + std::to_string(fd(folder))).c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return pathByParents(fd(folder), path);
        }
        if (length >= PATH_MAX || buffer[0] != '/') {
            return std::make_error_code(std::errc::filename_too_long);
        }
        path.assign(buffer.data(), static_cast<std::size_t>(length));
        return ok();
    }

    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        return leaf.empty() ? std::make_error_code(std::errc::invalid_argument)
                            : statAt(fd(folder), leaf.c_str(), facts);
    }

    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) override {
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t length = ::readlinkat(fd(folder), leaf.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return lastError();
        }
        target.assign(buffer.data(), static_cast<std::size_t>(length));
        return ok();
    }

    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                    (options.access == OpenOptions::Access::Read ? O_RDONLY : O_RDWR);
        if (options.creation == OpenOptions::Creation::New) {
            flags |= O_CREAT | O_EXCL;
        } else if (options.creation == OpenOptions::Creation::NewOrExisting) {
            flags |= O_CREAT;
        }
        EnvHandle opened(::openat(fd(folder), leaf.c_str(), flags, static_cast<mode_t>(options.mode)));
        if (!opened) {
            return lastError();
        }
        struct stat st {};
        if (::fstat(fd(opened), &st) != 0) {
            return lastError();
        }
        if (!S_ISREG(st.st_mode)) {
            return std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory
                                                            : std::errc::operation_not_supported);
        }
        // Reads and writes wait for the disk as usual from here on.
        const int status = ::fcntl(fd(opened), F_GETFL);
        if (status < 0 || ::fcntl(fd(opened), F_SETFL, status & ~O_NONBLOCK) != 0) {
            return lastError();
        }
        file = std::move(opened);
        return ok();
    }

    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override {
        const int at = fd(folder);
        if (whenTaken == WhenTaken::Replace) {
            return ::renameat(at, from.c_str(), at, to.c_str()) == 0 ? ok() : lastError();
        }
#ifdef RENAME_NOREPLACE
        if (::renameat2(at, from.c_str(), at, to.c_str(), RENAME_NOREPLACE) == 0) {
            return ok();
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return lastError();
        }
#endif
        // A file system that cannot refuse within the rename: a second name
        // is made only where none is (the file is never without one), then
        // the first one goes.
        if (::linkat(at, from.c_str(), at, to.c_str(), 0) != 0) {
            return lastError();
        }
        if (::unlinkat(at, from.c_str(), 0) != 0) {
            const std::error_code error = lastError();
            (void)::unlinkat(at, to.c_str(), 0); // nothing renamed: `to` is free again
            return error;
        }
        return ok();
    }

    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return ::unlinkat(fd(folder), leaf.c_str(), 0) == 0 ? ok() : lastError();
    }

    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        FileFacts there;
        if (look(folder, leaf, there) || !sameFile(there.identity, file)) {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
        return remove(folder, leaf);
    }

    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        FileFacts facts;
        if (!leaf.empty() && !statAt(fd(folder), leaf.c_str(), facts) && facts.kind != FileFacts::Kind::Link &&
            (facts.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return std::make_error_code(std::errc::permission_denied);
        }
        const char* name = leaf.empty() ? "." : leaf.c_str();
        const int access = leaf.empty() ? W_OK | X_OK : W_OK;
        return ::faccessat(fd(folder), name, access, AT_EACCESS) == 0 ? ok() : lastError();
    }

    std::error_code facts(const EnvHandle& file, FileFacts& facts) override { return statAt(fd(file), "", facts); }

    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        got = 0;
        while (got < into.size()) {
            const ssize_t now = ::pread(fd(file), into.data() + got, into.size() - got,
                                        static_cast<off_t>(offset + got));
            if (now < 0 && errno == EINTR) {
                continue;
            }
            if (now < 0) {
                return lastError();
            }
            if (now == 0) {
                break;
            }
            got += static_cast<std::size_t>(now);
        }
        return ok();
    }

    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t now = ::pwrite(fd(file), data.data() + done, data.size() - done,
                                         static_cast<off_t>(offset + done));
            if (now < 0 && errno == EINTR) {
                continue;
            }
            if (now < 0) {
                return lastError();
            }
            done += static_cast<std::size_t>(now);
        }
        return ok();
    }

    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return ::ftruncate(fd(file), static_cast<off_t>(size)) == 0 ? ok() : lastError();
    }

    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return ::fsync(fd(fileOrFolder)) == 0 ? ok() : lastError();
    }

    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        struct stat mine {};
        struct stat model {};
        if (::fstat(fd(file), &mine) != 0 || ::fstat(fd(like), &model) != 0) {
            return lastError();
        }
        if (mine.st_uid != ::geteuid()) {
            return mine.st_uid == model.st_uid ? ok() : std::make_error_code(std::errc::operation_not_permitted);
        }
        return posix::adoptAttributes(fd(file), fd(like));
    }

    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        struct flock request {};
        request.l_type = kind == Lock::Unlocked ? F_UNLCK : kind == Lock::Shared ? F_RDLCK : F_WRLCK;
        request.l_whence = SEEK_SET;
        request.l_start = static_cast<off_t>(range.offset);
        request.l_len = static_cast<off_t>(range.length);
        if (::fcntl(fd(file), kSetLock, &request) == 0) {
            return ok();
        }
        if (errno == EAGAIN || errno == EACCES) {
            return std::make_error_code(std::errc::resource_unavailable_try_again);
        }
        return lastError();
    }

    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override {
        struct flock request {};
        request.l_type = F_WRLCK;
        request.l_whence = SEEK_SET;
        request.l_start = static_cast<off_t>(range.offset);
        request.l_len = static_cast<off_t>(range.length);
        if (::fcntl(fd(file), kGetLock, &request) != 0) {
            return lastError();
        }
        locked = request.l_type != F_UNLCK;
        return ok();
    }

    void sleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

} // namespace

std::string describe(const std::error_code& error) { return error.message(); }

std::optional<std::uint32_t> currentUser() { return ::geteuid(); }

std::string userName(std::uint32_t id) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "user " + std::to_string(id);
}

std::string currentUserName() { return userName(::geteuid()); }

std::string machineName() {
    std::vector<char> name(256, '\0');
    if (::gethostname(name.data(), name.size() - 1) != 0) {
        return "?";
    }
    return name.data();
}

bool isMemberOf(std::uint32_t user, std::uint32_t group) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    if (found->pw_gid == group) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
    }
    return std::find(groups.begin(), groups.begin() + count, static_cast<gid_t>(group)) != groups.begin() + count;
}

bool isHeldOpen(const FileName&) { return false; }

// Every name means what it says: a file may be called "CON.zvd" or "a:b".
NativeName nativeName(const std::string& path) { return {path, NativeName::Fault::None, ""}; }

std::size_t maxLeafNameLength(const FileName& name) {
    const long longest = ::pathconf(folderOf(name).c_str(), _PC_NAME_MAX);
    return longest > 0 ? static_cast<std::size_t>(longest) : std::size_t{255};
}

bool openFilesMayBeReplaced() { return true; }

bool sameLeafName(const std::string& a, const std::string& b) { return a == b; }

bool writeProtectionKeepsName() { return false; }

std::shared_ptr<Env> Env::native() {
    static const std::shared_ptr<Env> instance = std::make_shared<PosixEnv>();
    return instance;
}

} // namespace Zorvan
