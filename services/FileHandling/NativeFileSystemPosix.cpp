// The native file system on POSIX systems.
//
// replaceFile is the durable half of a save through a temporary file:
//   1. open the source without following a link, and go on only when it is
//      a regular file with a single link: a link planted at its name, or a
//      hard link to some other file, is refused before anything changes;
//   2. through that descriptor give it the destination's owner (where the
//      process may), group, permission bits, ACL and extended attributes.
//      Only a file of this process's effective user is changed; one of
//      another user is put in place as it is when it belongs to the
//      destination's owner (NewFile made it for the design's owner) and
//      refused otherwise;
//   3. flush it to disk, so that the rename can never expose a name whose
//      content or attributes are still in the page cache;
//   4. check that the source's name still holds the file flushed, then
//      rename it over the destination: readers see the old or the new file;
//   5. sync the folder, so that the rename itself survives a power cut.
// A destination that is a symbolic link keeps the link: the file it finally
// points to is replaced. When that file is on another device the source is
// copied beside it into a new file, which takes the source's attributes
// through its descriptor and is flushed before it is renamed into place.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"
#include "FileHandling/Folder.h"
#include "Logging/Logging.h"
#include "PosixFiles.h"

namespace Zorvan {
namespace {

using posix::Failure;
using posix::reason;
using posix::UniqueFd;

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

std::string folderOf(const std::string& path) {
    const std::string folder = FileName(path).getFolder();
    return folder.empty() ? "." : folder;
}

// The file a chain of symbolic links ends in, followed as the kernel would
// follow it, or the path itself when it is no link. Empty when the chain is
// broken, loops, holds a link the kernel would not follow or cannot be read.
std::string finalTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    try {
        const ResolvedName resolved = resolveName(path);
        return resolved.outcome == ResolvedName::Outcome::Resolved ? resolved.path : std::string();
    } catch (const FileNameException&) {
        return std::string();
    }
}

// True when `path` names the file `st` describes (no link followed).
bool holds(const std::string& path, const struct stat& st) {
    struct stat now {};
    return ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

std::optional<Failure> writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Failure{"write the copy", errno};
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

// Copies the file open as `source` (from its start) to a new file in
// `folder` with the source's attributes, flushed to disk; returns its name
// in `copy`. Used when the destination lies on another device.
std::optional<Failure> copyInto(int source, const std::string& folder, std::string& copy) {
    std::string pattern = folder + "/.zvreplace-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const UniqueFd out(::mkostemp(name.data(), O_CLOEXEC));
    if (!out) {
        return Failure{"create a copy beside the destination", errno};
    }
    copy = name.data();
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(source, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Failure{"read the source", errno};
        }
        if (got == 0) {
            break;
        }
        if (auto failure = writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got))) {
            return failure;
        }
    }
    if (auto failure = posix::adoptAttributes(out.get(), source)) {
        return failure;
    }
    if (::fsync(out.get()) != 0) {
        return Failure{"flush the copy", errno};
    }
    return std::nullopt;
}

// Steps 1 and 2: the source, open, checked and given the destination's
// attributes; `st` describes it.
std::optional<Failure> prepareSource(const UniqueFd& in, const std::string& destination, struct stat& st) {
    if (!in) {
        return errno == ELOOP ? Failure{"open the source: it is a symbolic link"} : Failure{"open the source", errno};
    }
    if (::fstat(in.get(), &st) != 0) {
        return Failure{"read the source's attributes", errno};
    }
    if (!S_ISREG(st.st_mode)) {
        return Failure{"use the source: it is not a regular file"};
    }
    if (st.st_nlink != 1) {
        return Failure{"use the source: it has " + std::to_string(st.st_nlink) + " links"};
    }
    const UniqueFd like(::open(destination.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!like) {
        return errno == ENOENT ? std::nullopt : std::optional<Failure>(Failure{"open the destination", errno});
    }
    if (st.st_uid == ::geteuid()) {
        return posix::adoptAttributes(in.get(), like.get());
    }
    struct stat target {};
    if (::fstat(like.get(), &target) != 0) {
        return Failure{"read the destination's attributes", errno};
    }
    if (target.st_uid != st.st_uid) {
        return Failure{"use the source: it belongs to another user than the destination"};
    }
    return std::nullopt;
}

void syncFolder(const std::string& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a folder (EINVAL); the rename or removal
    // is done by then, so this is logged and it still counts as done.
    if (!fd || ::fsync(fd.get()) != 0) {
        logger().logERROR("Cannot sync folder '" + folder + "': " + reason(errno), __FILE__,
                          ZV_FUNCTION_SIGNATURE, __LINE__);
    }
}

std::optional<Failure> replace(const std::string& source, const std::string& destination) {
    const UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (auto failure = prepareSource(in, destination, st)) {
        return failure;
    }
    if (::fsync(in.get()) != 0) {
        return Failure{"flush the source", errno};
    }
    // Someone who may write the folder could have put another file under
    // the name since it was opened.
    if (!holds(source, st)) {
        return Failure{"rename the source: its name no longer holds the file that was flushed"};
    }
    if (::rename(source.c_str(), destination.c_str()) == 0) {
        syncFolder(folderOf(destination));
        return std::nullopt;
    }
    if (errno != EXDEV) {
        return Failure{"rename the source over the destination", errno};
    }
    std::string copy;
    std::optional<Failure> failure = copyInto(in.get(), folderOf(destination), copy);
    if (!failure && ::rename(copy.c_str(), destination.c_str()) != 0) {
        failure = Failure{"rename the copy over the destination", errno};
    }
    if (failure) {
        if (!copy.empty()) {
            ::unlink(copy.c_str());
        }
        return failure;
    }
    if (holds(source, st)) {
        ::unlink(source.c_str());
    }
    syncFolder(folderOf(destination));
    return std::nullopt;
}

class PosixFileSystem final : public FileSystem {
public:
    bool exists(const FileName& name, bool followSymlinks) override {
        struct stat st {};
        const std::string path = name.toNativeString();
        return (followSymlinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0;
    }

    bool isReadOnly(const FileName& name) override {
        const std::string path = name.toNativeString();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return false;
        }
        // Without a write bit even a privileged process, which the system
        // would let write, is refused.
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return true;
        }
        // Otherwise the system answers for this process's effective user and
        // groups: owner and group bits, the ACL, a read-only mount, an
        // immutable file.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) {
            return false;
        }
        return errno == EACCES || errno == EPERM || errno == EROFS;
    }

    void remove(const FileName& name) override {
        const std::string path = name.toNativeString();
        if (::unlink(path.c_str()) != 0) {
            const std::string message = "Cannot remove '" + path + "': " + reason(errno);
            logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            throw FileNameException(message, path);
        }
        // The name is gone once its folder reaches the disk: a removal that
        // returned must not come back after a power cut.
        syncFolder(folderOf(path));
    }

    bool replaceFile(const FileName& source, const FileName& destination) override {
        const std::string from = source.toNativeString();
        const std::string to = finalTarget(destination.toNativeString());
        const std::optional<Failure> failure =
            to.empty() ? Failure{"resolve the destination's link", errno} : replace(from, to);
        if (failure) {
            logger().logERROR("Cannot replace '" + destination.toNativeString() + "' with '" + from +
                                  "': " + posix::describe(*failure),
                              __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            return false;
        }
        return true;
    }
};

} // namespace

std::shared_ptr<FileSystem> nativeFileSystem() {
    static const std::shared_ptr<FileSystem> instance = std::make_shared<PosixFileSystem>();
    return instance;
}

} // namespace Zorvan
