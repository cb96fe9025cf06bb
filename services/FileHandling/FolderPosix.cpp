// Folder on POSIX systems: a descriptor opened with O_DIRECTORY, and every
// operation an *at() call relative to it with no link followed.

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>
#include <vector>

#include "FileHandling/FileNameException.h"
#include "FileHandling/Folder.h"
#include "Logging/Logging.h"
#include "PosixFiles.h"

namespace Zorvan {
namespace {

using posix::identityAt;
using posix::reason;
using posix::UniqueFd;

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

[[noreturn]] void fail(const std::string& path, const std::string& what, int error) {
    throw FileNameException("Cannot " + what + " '" + path + "': " + reason(error), path);
}

// The path the kernel reached the folder open as `fd` by, with every link
// resolved; `given` where the system cannot say, and nothing when it is
// longer than a path may be.
std::optional<std::string> pathOfFolder(int fd, const std::string& given) {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer.data(), buffer.size());
    if (length >= PATH_MAX) {
        return std::nullopt;
    }
    if (length <= 0 || buffer[0] != '/') {
        return given;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

FileFacts factsOf(const struct statx& st) {
    FileFacts facts;
    const mode_t mode = st.stx_mode;
    facts.kind = S_ISREG(mode)   ? FileFacts::Kind::Regular
                 : S_ISLNK(mode) ? FileFacts::Kind::Link
                 : S_ISDIR(mode) ? FileFacts::Kind::Folder
                                 : FileFacts::Kind::Other;
    facts.size = st.stx_size;
    facts.links = st.stx_nlink;
    facts.owner = st.stx_uid;
    return facts;
}

UniqueFd openRegular(int folder, const std::string& leaf) {
    UniqueFd fd(::openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        return UniqueFd();
    }
    return fd;
}

void syncFolder(int fd, const std::string& path) {
    // Some file systems cannot flush a folder (EINVAL); what was renamed or
    // removed is done by then, so this is logged and not a failure.
    if (::fsync(fd) != 0) {
        logger().logERROR("Cannot sync folder '" + path + "': " + reason(errno), __FILE__, ZV_FUNCTION_SIGNATURE,
                          __LINE__);
    }
}

std::string folderPart(const std::string& path) {
    const std::string folder = FileName(path).getFolder();
    return folder.empty() ? "." : folder;
}

std::string leafPart(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

} // namespace

struct Folder::Impl {
    UniqueFd fd;
    std::string path;
};

std::string userName(std::uint32_t id) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(id, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return "user " + std::to_string(id);
}

ResolvedName resolveName(const std::string& path) {
    ResolvedName result;
    std::string current = path;
    // The kernel gives up after 40 links; so does this.
    for (int hop = 0; hop <= 40; ++hop) {
        const std::string folderPath = folderPart(current);
        const std::string leaf = leafPart(current);
        const UniqueFd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder) {
            // The folders of a name that leads nowhere: where it would be.
            result.outcome = errno == ELOOP ? ResolvedName::Outcome::Loop
                             : hop > 0      ? ResolvedName::Outcome::Missing
                                            : ResolvedName::Outcome::Resolved;
            result.path = current;
            return result;
        }
        const std::optional<std::string> named = pathOfFolder(folder.get(), folderPath);
        if (!named) {
            result.outcome = ResolvedName::Outcome::TooLong;
            result.path = current;
            return result;
        }
        const std::string& resolvedFolder = *named;
        struct stat st {};
        const bool found = ::fstatat(folder.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!found || !S_ISLNK(st.st_mode)) {
            result.outcome = !found && hop > 0 ? ResolvedName::Outcome::Missing : ResolvedName::Outcome::Resolved;
            result.path = resolvedFolder == "/" ? "/" + leaf : resolvedFolder + "/" + leaf;
            return result;
        }
        struct stat owner {};
        if (::fstat(folder.get(), &owner) == 0 && (owner.st_mode & S_ISVTX) != 0 && (owner.st_mode & S_IWOTH) != 0 &&
            st.st_uid != ::geteuid() && st.st_uid != owner.st_uid) {
            result.outcome = ResolvedName::Outcome::Protected;
            result.link = current;
            result.linkOwner = st.st_uid;
            return result;
        }
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlinkat(folder.get(), leaf.c_str(), target.data(), target.size() - 1);
        if (length < 0) {
            break;
        }
        const std::string next(target.data(), static_cast<std::size_t>(length));
        current = next.starts_with('/') ? next : resolvedFolder + "/" + next;
        result.links = hop + 1;
    }
    result.outcome = ResolvedName::Outcome::Loop;
    result.path = current;
    return result;
}

Folder Folder::open(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        fail(path, "open the folder", errno);
    }
    auto impl = std::make_unique<Impl>();
    impl->path = pathOfFolder(fd.get(), path).value_or(path);
    impl->fd = std::move(fd);
    return Folder(std::move(impl));
}

Folder Folder::holding(const FileName& file) { return open(folderPart(file.toNativeString())); }

Folder::Folder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

const std::string& Folder::path() const noexcept { return m_impl->path; }

std::string Folder::pathOf(const std::string& leaf) const {
    return m_impl->path == "/" ? "/" + leaf : m_impl->path + "/" + leaf;
}

std::optional<FileFacts> Folder::look(const std::string& leaf) const {
    struct statx st {};
    if (::statx(m_impl->fd.get(), leaf.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) != 0) {
        return std::nullopt;
    }
    FileFacts facts = factsOf(st);
    if (!identityAt(m_impl->fd.get(), leaf.c_str(), facts.identity)) {
        return std::nullopt;
    }
    return facts;
}

std::string Folder::readStart(const std::string& leaf, std::size_t size) const {
    const UniqueFd fd = openRegular(m_impl->fd.get(), leaf);
    std::string bytes(size, '\0');
    const ssize_t got = fd ? ::pread(fd.get(), bytes.data(), size, 0) : -1;
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

bool Folder::isLockedByAnother(const std::string& leaf, std::int64_t offset) const {
    const UniqueFd fd = openRegular(m_impl->fd.get(), leaf);
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = static_cast<off_t>(offset);
    byte.l_len = 1;
    // A process's own record locks never conflict with its own request, so
    // only other programs' locks answer here.
    return fd && ::fcntl(fd.get(), F_GETLK, &byte) == 0 && byte.l_type != F_UNLCK;
}

Folder::Replaced Folder::replace(const std::string& from, const FileIdentity& file, const std::string& to,
                                 const std::optional<FileIdentity>& replaced, bool takeAccess) const {
    const int folder = m_impl->fd.get();
    const UniqueFd in = openRegular(folder, from);
    FileIdentity now;
    struct stat st {};
    if (!in || !identityAt(in.get(), "", now) || !sameFile(now, file) || ::fstat(in.get(), &st) != 0 || st.st_nlink != 1) {
        return Replaced::SourceChanged;
    }
    const auto holdsReplaced = [&] {
        FileIdentity there;
        return !replaced || (identityAt(folder, to.c_str(), there) && sameFile(there, *replaced));
    };
    if (takeAccess) {
        const UniqueFd like = openRegular(folder, to);
        if (!holdsReplaced()) {
            return Replaced::TargetChanged;
        }
        struct stat model {};
        if (like && st.st_uid == ::geteuid()) {
            if (const std::optional<posix::Failure> failure = posix::adoptAttributes(in.get(), like.get())) {
                throw FileNameException("Cannot replace '" + pathOf(to) + "': " + posix::describe(*failure),
                                        pathOf(to));
            }
        } else if (like && (::fstat(like.get(), &model) != 0 || model.st_uid != st.st_uid)) {
            // A file of another user is never changed, only put in place
            // where it belongs to the replaced file's owner.
            throw FileNameException("Cannot replace '" + pathOf(to) + "': the new file belongs to another user",
                                    pathOf(to));
        }
    }
    if (::fsync(in.get()) != 0) {
        fail(pathOf(from), "flush", errno);
    }
    // Whoever may write the folder could have put another file under either
    // name since; the rename follows no link, and the folder is this one.
    if (!identityAt(folder, from.c_str(), now) || !sameFile(now, file)) {
        return Replaced::SourceChanged;
    }
    if (!holdsReplaced()) {
        return Replaced::TargetChanged;
    }
    if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0) {
        fail(pathOf(to), "rename '" + pathOf(from) + "' over", errno);
    }
    syncFolder(folder, m_impl->path);
    return Replaced::Done;
}

bool Folder::remove(const std::string& leaf) const {
    if (::unlinkat(m_impl->fd.get(), leaf.c_str(), 0) != 0) {
        if (errno == ENOENT) {
            return false;
        }
        fail(pathOf(leaf), "remove", errno);
    }
    syncFolder(m_impl->fd.get(), m_impl->path);
    return true;
}

bool Folder::isWritable() const { return ::faccessat(m_impl->fd.get(), ".", W_OK | X_OK, AT_EACCESS) == 0; }

} // namespace Zorvan
