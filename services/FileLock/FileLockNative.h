#pragma once
// What each kind of system provides to FileLock.cpp (FileLockPosix.cpp,
// FileLockWindows.cpp): opening, locking and comparing the file. Internal
// to Services_FileLock; not installed.
//
// FileLock.cpp calls every function here with the registry's mutex held.

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace Zorvan::fileLock {

// Which file a name holds: device and inode (Windows: volume serial number
// and file index).
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    friend auto operator<=>(const FileId&, const FileId&) = default;
};

// An open descriptor (Windows: handle) of the file to lock, with the
// identity of that file. Destroying it closes the descriptor, which
// releases the lock taken through it.
class NativeFile {
public:
    NativeFile() noexcept = default;
    NativeFile(std::intptr_t handle, FileId id, bool created) noexcept
        : m_handle(handle), m_id(id), m_created(created) {}
    NativeFile(NativeFile&& other) noexcept
        : m_handle(std::exchange(other.m_handle, kClosed)), m_id(other.m_id), m_created(other.m_created) {}
    NativeFile& operator=(NativeFile&& other) noexcept {
        if (this != &other) {
            close();
            m_handle = std::exchange(other.m_handle, kClosed);
            m_id = other.m_id;
            m_created = other.m_created;
        }
        return *this;
    }
    ~NativeFile() { close(); }

    explicit operator bool() const noexcept { return m_handle != kClosed; }
    // Hands the descriptor over to the caller, who closes it from then on.
    std::intptr_t release() noexcept { return std::exchange(m_handle, kClosed); }
    std::intptr_t handle() const noexcept { return m_handle; }
    const FileId& id() const noexcept { return m_id; }
    // True when the open created the file.
    bool created() const noexcept { return m_created; }

private:
    // No descriptor on POSIX, INVALID_HANDLE_VALUE on Windows.
    static constexpr std::intptr_t kClosed = -1;
    void close() noexcept;

    std::intptr_t m_handle = kClosed;
    FileId m_id;
    bool m_created = false;
};

// The file `path` names now, links followed; nothing when nothing is there.
// Throws FileNameException when it is not a regular file or cannot be
// examined.
std::optional<FileId> fileAt(const std::string& path);

// How long after another process was found holding the lock a name that
// holds nothing is taken for that process replacing the file, rather than
// for a missing file: Windows' ReplaceFileW moves the old file aside before
// it moves the new one in; a POSIX rename leaves no such moment.
extern const std::chrono::milliseconds kReplaceGap;

enum class Opened { Yes, Busy, Vanished };

// Opens the file `path` names for reading and writing, creating it, empty,
// when `create` and nothing is at the name. Busy: another program holds the
// file in a way that keeps it from being opened for a moment. Vanished: the
// name held nothing by the time it was opened. Throws FileNameException
// when it cannot be opened for writing or is not a regular file. Never
// blocks, whatever is at the name.
Opened open(const std::string& path, bool create, NativeFile& file);

// Takes the lock of the byte FileLock::kLockOffset through `file`; false
// when another holder has it. Throws FileNameException when the system
// cannot lock the file at all.
bool tryLock(const NativeFile& file, const std::string& path);

// Removes the name `path` when it still holds `file` and that is empty.
void removeIfEmpty(const std::string& path, const NativeFile& file) noexcept;

} // namespace Zorvan::fileLock
