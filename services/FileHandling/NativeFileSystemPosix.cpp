// The native file system on POSIX systems.
//
// replaceFile is the durable half of a save through a temporary file:
//   1. flush the temporary file's data to disk, so that the rename can
//      never expose a name whose content is still in the page cache;
//   2. give it the destination's permission bits (and owner, when allowed);
//   3. rename it over the destination: readers see the old or the new file;
//   4. sync the folder, so that the rename itself survives a power cut.
// A destination that is a symbolic link keeps the link: the file it finally
// points to is replaced. When that file is on another device the source is
// first copied beside it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

std::string reason(int error) { return std::generic_category().message(error); }

// Owns a file descriptor; closes it on every exit path.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The error of a failed step of replaceFile: which step, and errno.
struct Failure {
    const char* step;
    int error;
};

std::string folderOf(const std::string& path) {
    const std::string folder = FileName(path).getFolder();
    return folder.empty() ? "." : folder;
}

// The file a chain of symbolic links ends in, or the path itself when it
// is no link. Empty when the chain is broken or loops.
std::string finalTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
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

// Copies `source` to a new file in `folder`, flushed to disk; returns its
// name in `copy`. Used when the destination lies on another device.
std::optional<Failure> copyInto(const std::string& source, const std::string& folder, std::string& copy) {
    const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        return Failure{"open the source", errno};
    }
    std::string pattern = folder + "/.zvreplace-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const UniqueFd out(::mkstemp(name.data()));
    if (!out) {
        return Failure{"create a copy beside the destination", errno};
    }
    copy = name.data();
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
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
    if (::fsync(out.get()) != 0) {
        return Failure{"flush the copy", errno};
    }
    return std::nullopt;
}

// Flushes `path` and gives it the permission bits and, where the process
// may, the owner of `like` (when that exists).
std::optional<Failure> flushAndAdopt(const std::string& path, const std::string& like) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return Failure{"open the source", errno};
    }
    if (::fsync(fd.get()) != 0) {
        return Failure{"flush the source", errno};
    }
    struct stat st {};
    if (::stat(like.c_str(), &st) == 0) {
        if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
            return Failure{"copy the permissions", errno};
        }
        // Only a privileged process may hand a file to another owner; for
        // everyone else keeping the bits is all that can be done.
        [[maybe_unused]] const int ignored = ::fchown(fd.get(), st.st_uid, st.st_gid);
    }
    return std::nullopt;
}

void syncFolder(const std::string& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Some file systems cannot sync a folder (EINVAL); the rename is done by
    // then, so this is logged and the replacement still counts as done.
    if (!fd || ::fsync(fd.get()) != 0) {
        logger().logERROR("Cannot sync folder '" + folder + "': " + reason(errno), __FILE__,
                          ZV_FUNCTION_SIGNATURE, __LINE__);
    }
}

std::optional<Failure> replace(const std::string& source, const std::string& destination) {
    if (auto failure = flushAndAdopt(source, destination)) {
        return failure;
    }
    if (::rename(source.c_str(), destination.c_str()) == 0) {
        syncFolder(folderOf(destination));
        return std::nullopt;
    }
    if (errno != EXDEV) {
        return Failure{"rename the source over the destination", errno};
    }
    std::string copy;
    std::optional<Failure> failure = copyInto(source, folderOf(destination), copy);
    if (!failure) {
        failure = flushAndAdopt(copy, destination);
    }
    if (!failure && ::rename(copy.c_str(), destination.c_str()) != 0) {
        failure = Failure{"rename the copy over the destination", errno};
    }
    if (failure) {
        if (!copy.empty()) {
            ::unlink(copy.c_str());
        }
        return failure;
    }
    ::unlink(source.c_str());
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
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return true;
        }
        struct statvfs volume {};
        return ::statvfs(path.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
    }

    void remove(const FileName& name) override {
        const std::string path = name.toNativeString();
        if (::unlink(path.c_str()) != 0) {
            const std::string message = "Cannot remove '" + path + "': " + reason(errno);
            logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            throw FileNameException(message, path);
        }
    }

    bool replaceFile(const FileName& source, const FileName& destination) override {
        const std::string from = source.toNativeString();
        const std::string to = finalTarget(destination.toNativeString());
        const std::optional<Failure> failure =
            to.empty() ? Failure{"resolve the destination's link", errno} : replace(from, to);
        if (failure) {
            logger().logERROR("Cannot replace '" + destination.toNativeString() + "' with '" + from +
                                  "': cannot " + failure->step + ": " + reason(failure->error),
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
