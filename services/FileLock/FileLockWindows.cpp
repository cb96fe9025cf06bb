// The file lock on Windows: LockFileEx on the byte FileLock::kLockOffset.
//
// Windows byte-range locks belong to the handle and are mandatory: no
// other handle may read or write the locked byte, which is why it lies in
// a page SQLite leaves unused. Closing another handle of the file leaves
// the lock alone.
//
// The file is opened sharing read, write and delete access, so that the
// lock keeps no reader, SQLite or a rewrite's rename away from the file.
// Names are UTF-8 text, converted to UTF-16 for the wide-character API.

#include <optional>
#include <string>
#include <utility>

#include "FileHandling/WindowsFiles.h"

#include "FileHandling/FileNameException.h"
#include "FileLock/FileLock.h"
#include "FileLock/FileLockNative.h"

namespace Zorvan::fileLock {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE toHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

using windows::reason;

// The UTF-16 form of UTF-8 `path`; throws FileNameException naming `path`
// when it is not valid UTF-8.
std::wstring widen(const std::string& path) {
    std::optional<std::wstring> wide = windows::widen(path);
    if (!wide) {
        throw FileNameException("Cannot open '" + path + "' for writing: the name is not valid UTF-8 text", path);
    }
    return std::move(*wide);
}

[[noreturn]] void throwNotRegular(const std::string& path) {
    throw FileNameException("'" + path + "' is not a regular file", path);
}

[[noreturn]] void throwCannotOpen(const std::string& path, DWORD error) {
    throw FileNameException("Cannot open '" + path + "' for writing: " + reason(error), path);
}

bool isMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Another program (a virus scanner, an indexer) has the file open without
// sharing write access; that usually lasts a moment only.
bool isHeld(DWORD error) { return error == ERROR_SHARING_VIOLATION; }

// The identity of the file `handle` is open on. Throws FileNameException
// naming `path` when that is not a regular file on a disk.
FileId idOf(HANDLE handle, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        throwCannotOpen(path, ::GetLastError());
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throwNotRegular(path);
    }
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// A handle opened to read a file's attributes only (folders included): it
// conflicts with no other handle's sharing mode.
windows::UniqueHandle openQuery(const std::wstring& path, DWORD flags) {
    return windows::UniqueHandle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr));
}

} // namespace

// The moment itself is two renames; this allows for a busy machine.
const std::chrono::milliseconds kReplaceGap{250};

void NativeFile::close() noexcept {
    if (m_handle != kClosed) {
        // The system releases a closed handle's locks only some time later;
        // unlocked here, the byte is free the moment the lock is destroyed.
        OVERLAPPED byte{};
        byte.Offset = static_cast<DWORD>(FileLock::kLockOffset & 0xFFFFFFFF);
        byte.OffsetHigh = static_cast<DWORD>(FileLock::kLockOffset >> 32);
        ::UnlockFileEx(toHandle(m_handle), 0, 1, 0, &byte);
        ::CloseHandle(toHandle(m_handle));
        m_handle = kClosed;
    }
}

std::optional<FileId> fileAt(const std::string& path) {
    const windows::UniqueHandle query = openQuery(widen(path), 0);
    if (query.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (isMissing(error)) {
            return std::nullopt;
        }
        throwCannotOpen(path, error);
    }
    return idOf(query.get(), path);
}

Opened open(const std::string& path, bool create, NativeFile& file) {
    const std::wstring wide = widen(path);
    const auto openWith = [&](DWORD disposition) {
        return ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, disposition,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    // CREATE_NEW tells reliably whether this open made the file, which
    // decides whether the lock may remove it again.
    bool created = false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (create) {
        handle = openWith(CREATE_NEW);
        if (handle != INVALID_HANDLE_VALUE) {
            created = true;
        } else if (const DWORD error = ::GetLastError(); isHeld(error)) {
            return Opened::Busy;
        } else if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            throw FileNameException("Cannot create '" + path + "': " + reason(error), path);
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        handle = openWith(OPEN_EXISTING);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (isHeld(error)) {
                return Opened::Busy;
            }
            if (!isMissing(error)) {
                throwCannotOpen(path, error);
            }
            // CREATE_NEW found something and OPEN_EXISTING nothing: either
            // the file was removed in between, or the name is a link to a
            // missing file, which would keep doing this.
            const DWORD attributes = ::GetFileAttributesW(wide.c_str());
            if (create && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                throw FileNameException("Cannot create '" + path + "': it is a symbolic link to a missing file",
                                        path);
            }
            return Opened::Vanished;
        }
    }
    NativeFile opened(reinterpret_cast<std::intptr_t>(handle), FileId{}, created);
    const FileId id = idOf(handle, path);
    file = NativeFile(opened.release(), id, created);
    return Opened::Yes;
}

bool tryLock(const NativeFile& file, const std::string& path) {
    OVERLAPPED byte{};
    byte.Offset = static_cast<DWORD>(FileLock::kLockOffset & 0xFFFFFFFF);
    byte.OffsetHigh = static_cast<DWORD>(FileLock::kLockOffset >> 32);
    if (::LockFileEx(toHandle(file.handle()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &byte)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return false;
    }
    throw FileNameException("Cannot lock '" + path + "': " + reason(error), path);
}

void removeIfEmpty(const std::string& path, const NativeFile& file) noexcept {
    try {
        const std::wstring wide = widen(path);
        // The name itself must be this file, not a link put there since.
        const windows::UniqueHandle query = openQuery(wide, FILE_FLAG_OPEN_REPARSE_POINT);
        LARGE_INTEGER size{};
        if (query.get() != INVALID_HANDLE_VALUE && idOf(query.get(), path) == file.id() && ::GetFileSizeEx(toHandle(file.handle()), &size) &&
            size.QuadPart == 0) {
            // The name goes when the last handle is closed, right after.
            ::DeleteFileW(wide.c_str());
        }
    } catch (...) {
        // Not a regular file any more, or out of memory: the name is left.
    }
}

} // namespace Zorvan::fileLock
