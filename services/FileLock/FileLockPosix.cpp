// The file lock on POSIX systems: an open file description lock
// (F_OFD_SETLK) on the byte FileLock::kLockOffset.
//
// Such a lock belongs to the descriptor's open file description, not to the
// process: it conflicts with the same lock taken through another
// description, in another process or in this one, and closing some other
// descriptor of the file leaves it alone. It lives in the space of POSIX
// record locks, which is why it takes a byte SQLite never locks; flock()
// would be independent of them on local file systems but is emulated with a
// whole-file record lock on NFS, where it would conflict with SQLite's.
//
// The file is opened with O_NONBLOCK, so that a FIFO or device put at the
// name after it was examined does not block the open; nothing but a regular
// file is kept.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "FileHandling/FileNameException.h"
#include "FileLock/FileLock.h"
#include "FileLock/FileLockNative.h"

namespace Zorvan::fileLock {
namespace {

#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
// Without open file description locks the classic record lock is the next
// best. It belongs to the process: threads are then kept apart by
// FileLock.cpp's registry alone, and closing any descriptor of the file,
// SQLite's included, drops it.
constexpr int kSetLock = F_SETLK;
#endif

constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

std::string reason(int error) { return std::generic_category().message(error); }

FileId idOf(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

[[noreturn]] void throwNotRegular(const std::string& path) {
    throw FileNameException("'" + path + "' is not a regular file", path);
}

[[noreturn]] void throwCannotOpen(const std::string& path, int error) {
    throw FileNameException("Cannot open '" + path + "' for writing: " + reason(error), path);
}

bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

const std::chrono::milliseconds kReplaceGap{0}; // a rename replaces the name in one step

void NativeFile::close() noexcept {
    if (m_handle != kClosed) {
        ::close(static_cast<int>(m_handle));
        m_handle = kClosed;
    }
}

std::optional<FileId> fileAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throwCannotOpen(path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        throwNotRegular(path);
    }
    return idOf(st);
}

Opened open(const std::string& path, bool create, NativeFile& file) {
    // O_EXCL tells reliably whether this open made the file, which decides
    // whether the lock may remove it again.
    bool created = false;
    int fd = -1;
    if (create) {
        fd = ::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            created = true;
        } else if (errno != EEXIST) {
            throw FileNameException("Cannot create '" + path + "': " + reason(errno), path);
        }
    }
    if (fd < 0) {
        fd = ::open(path.c_str(), kOpenFlags);
        if (fd < 0) {
            if (errno != ENOENT) {
                throwCannotOpen(path, errno);
            }
            // O_EXCL found something and the plain open nothing: either the
            // file was removed in between, or the name is a link to a
            // missing file, which would keep doing this.
            if (create && isLink(path)) {
                throw FileNameException("Cannot create '" + path + "': it is a symbolic link to a missing file",
                                        path);
            }
            return Opened::Vanished;
        }
    }
    NativeFile opened(fd, FileId{}, created);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throwCannotOpen(path, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        throwNotRegular(path);
    }
    file = NativeFile(opened.release(), idOf(st), created);
    return Opened::Yes;
}

bool tryLock(const NativeFile& file, const std::string& path) {
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = static_cast<off_t>(FileLock::kLockOffset);
    byte.l_len = 1;
    if (::fcntl(static_cast<int>(file.handle()), kSetLock, &byte) == 0) {
        return true;
    }
    if (errno == EAGAIN || errno == EACCES || errno == EINTR) {
        return false;
    }
    throw FileNameException("Cannot lock '" + path + "': " + reason(errno), path);
}

void removeIfEmpty(const std::string& path, const NativeFile& file) noexcept {
    // lstat: the name itself must be this file, not a link put there since.
    struct stat named {};
    struct stat opened {};
    if (::lstat(path.c_str(), &named) == 0 && ::fstat(static_cast<int>(file.handle()), &opened) == 0 &&
        idOf(named) == idOf(opened) && opened.st_size == 0) {
        ::unlink(path.c_str());
    }
}

} // namespace Zorvan::fileLock
