// The native Env on Windows. A folder is a handle opened with backup
// semantics; its leaves are reached by the path the system gives for that
// handle (GetFinalPathNameByHandleW), so a folder renamed meanwhile is
// still the one that was opened. Links are reparse points: opened as
// themselves (FILE_FLAG_OPEN_REPARSE_POINT) and refused, never followed.
// Every file is opened sharing read, write and delete access, so that no
// handle here keeps another program, SQLite or a rename away. Byte-range
// locks (LockFileEx) belong to the handle. Windows keeps no owners or
// permission bits for these checks, and has no folder flush. Beside it, the
// questions NewFile.h asks of the system itself.

#include "FileHandling/Env.h"
#include "WindowsFiles.h"

#include <filesystem>
#include <thread>
#include <vector>

namespace Zorvan {
namespace internal {

void closeNative(std::intptr_t native) noexcept { ::CloseHandle(reinterpret_cast<HANDLE>(native)); }

} // namespace internal

namespace {

using windows::widen;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handleOf(const EnvHandle& handle) { return reinterpret_cast<HANDLE>(handle.native()); }

// The portable condition of the commonest errors, so that callers compare
// with std::errc on every system; the system's own code otherwise.
std::error_code errorOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return std::make_error_code(std::errc::file_exists);
    case ERROR_ACCESS_DENIED:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_LOCK_VIOLATION:
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    case ERROR_SHARING_VIOLATION:
        return std::make_error_code(std::errc::device_or_resource_busy);
    case ERROR_WRITE_PROTECT:
        return std::make_error_code(std::errc::read_only_file_system);
    case ERROR_NO_UNICODE_TRANSLATION:
        return std::make_error_code(std::errc::illegal_byte_sequence);
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long);
    default:
        return {static_cast<int>(error), std::system_category()};
    }
}

std::error_code lastError() { return errorOf(::GetLastError()); }
std::error_code ok() { return {}; }

std::error_code pathIn(const EnvHandle& folder, const std::string& leaf, std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handleOf(folder), buffer.data(),
                                                         static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            return lastError();
        }
        if (length < buffer.size()) {
            const std::optional<std::wstring> wideLeaf = widen(leaf);
            if (!wideLeaf) {
                return errorOf(ERROR_NO_UNICODE_TRANSLATION);
            }
            path.assign(buffer.data(), length);
            if (!leaf.empty()) {
                path += L'\\' + *wideLeaf;
            }
            return ok();
        }
        buffer.resize(length + 1);
    }
}

FileFacts factsOf(const BY_HANDLE_FILE_INFORMATION& info, DWORD tag) {
    FileFacts facts;
    const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                      (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
    facts.kind = link                                                      ? FileFacts::Kind::Link
                 : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileFacts::Kind::Folder
                                                                           : FileFacts::Kind::Regular;
    facts.identity = FileIdentity{info.dwVolumeSerialNumber,
                                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0};
    facts.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    facts.links = info.nNumberOfLinks;
    return facts;
}

std::error_code factsOfHandle(HANDLE handle, FileFacts& facts) {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        return lastError();
    }
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        facts = FileFacts{};
        return ok();
    }
    (void)::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag);
    facts = factsOf(info, tag.ReparseTag);
    return ok();
}

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

class WindowsEnv final : public Env {
public:
    std::error_code openFolder(const std::string& path, EnvHandle& folder) override {
        const std::optional<std::wstring> wide = widen(path);
        if (!wide) {
            return errorOf(ERROR_NO_UNICODE_TRANSLATION);
        }
        EnvHandle opened(reinterpret_cast<std::intptr_t>(::CreateFileW(
            wide->c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
        if (!opened) {
            return lastError();
        }
        FileFacts facts;
        if (const std::error_code error = factsOfHandle(handleOf(opened), facts)) {
            return error;
        }
        if (facts.kind != FileFacts::Kind::Folder) {
            return std::make_error_code(std::errc::not_a_directory);
        }
        folder = std::move(opened);
        return ok();
    }

    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        std::wstring wide;
        if (const std::error_code error = pathIn(folder, "", wide)) {
            return error;
        }
        // "\\?\C:\x" as the system gives it; "C:\x" as users write it.
        const std::wstring prefix = L"\\\\?\\";
        const std::size_t skip = wide.rfind(prefix, 0) == 0 && wide.find(L"UNC\\", 4) != 4 ? prefix.size() : 0;
        path = windows::narrow(wide.data() + skip, static_cast<int>(wide.size() - skip));
        return ok();
    }

    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        EnvHandle held;
        if (const std::error_code error = openAs(folder, leaf, FILE_READ_ATTRIBUTES, OPEN_EXISTING, held)) {
            return error;
        }
        return factsOfHandle(handleOf(held), facts);
    }

    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) override {
        std::wstring path;
        if (const std::error_code error = pathIn(folder, leaf, path)) {
            return error;
        }
        std::error_code error;
        const std::filesystem::path to = std::filesystem::read_symlink(path, error);
        if (error) {
            return error;
        }
        const std::wstring wide = to.wstring();
        target = windows::narrow(wide.data(), static_cast<int>(wide.size()));
        return ok();
    }

    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        const DWORD access = GENERIC_READ | (options.access == OpenOptions::Access::ReadWrite ? GENERIC_WRITE : 0);
        const DWORD creation = options.creation == OpenOptions::Creation::New             ? CREATE_NEW
                               : options.creation == OpenOptions::Creation::NewOrExisting ? OPEN_ALWAYS
                                                                                          : OPEN_EXISTING;
        EnvHandle opened;
        if (const std::error_code error = openAs(folder, leaf, access, creation, opened)) {
            return error;
        }
        FileFacts facts;
        if (const std::error_code error = factsOfHandle(handleOf(opened), facts)) {
            return error;
        }
        if (facts.kind != FileFacts::Kind::Regular) {
            return std::make_error_code(facts.kind == FileFacts::Kind::Link ? std::errc::too_many_symbolic_link_levels
                                                                             : std::errc::operation_not_supported);
        }
        file = std::move(opened);
        return ok();
    }

    // ReplaceFileW puts a file in place of one that other handles have open
    // (sharing deletion), which MoveFileExW refuses; it is tried first while
    // there is a file to replace, and a rename that Wine reports as failed
    // after it was done counts as done. Both are retried while a scanner or
    // another program holds the file for a moment.
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override {
        std::wstring source;
        std::wstring target;
        if (std::error_code error = pathIn(folder, from, source); error || (error = pathIn(folder, to, target))) {
            return error;
        }
        FileFacts moved;
        if (const std::error_code error = look(folder, from, moved)) {
            return error;
        }
        const auto done = [&](bool succeeded) {
            if (succeeded) {
                return true;
            }
            const DWORD error = ::GetLastError();
            FileFacts now;
            if (!look(folder, to, now) && sameFile(now.identity, moved.identity)) {
                return true;
            }
            ::SetLastError(error);
            return false;
        };
        if (whenTaken == WhenTaken::Refuse) {
            // MoveFileExW refuses a taken name by itself.
            const DWORD error = windows::retryWhileHeld(
                target, [&] { return done(::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0); });
            return error == ERROR_SUCCESS ? ok() : errorOf(error);
        }
        if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            // A file another program holds without sharing deletion is
            // waited for first: ReplaceFileW would fail, and Wine's leaves a
            // stray file beside it each time.
            const DWORD held = windows::retryWhileHeld(target, [&] {
                const DWORD probe = windows::deletable(target);
                ::SetLastError(probe);
                return probe == ERROR_SUCCESS;
            });
            if (held != ERROR_SUCCESS) {
                return errorOf(held);
            }
            const DWORD error = windows::retryWhileHeld(target, [&] {
                return done(::ReplaceFileW(target.c_str(), source.c_str(), nullptr,
                                           REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                                           nullptr) != 0);
            });
            if (error == ERROR_SUCCESS) {
                return ok();
            }
            // Any other failure leaves both files under their names.
            if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
                return errorOf(error);
            }
        }
        const DWORD error = windows::retryWhileHeld(target, [&] {
            return done(::MoveFileExW(source.c_str(), target.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0);
        });
        return error == ERROR_SUCCESS ? ok() : errorOf(error);
    }

    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        std::wstring path;
        if (const std::error_code error = pathIn(folder, leaf, path)) {
            return error;
        }
        return errorOf(windows::retryWhileHeld(path, [&] { return ::DeleteFileW(path.c_str()) != 0; }));
    }

    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        EnvHandle held;
        FileFacts there;
        if (openAs(folder, leaf, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING, held) ||
            factsOfHandle(handleOf(held), there) || !sameFile(there.identity, file)) {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
        // The name goes when this handle, the last one opened here, closes.
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        return ::SetFileInformationByHandle(handleOf(held), FileDispositionInfo, &disposition, sizeof disposition)
                   ? ok()
                   : lastError();
    }

    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        EnvHandle held;
        if (const std::error_code error = leaf.empty() ? ok() : openAs(folder, leaf, FILE_READ_ATTRIBUTES,
                                                                       OPEN_EXISTING, held)) {
            return error;
        }
        const HANDLE handle = leaf.empty() ? handleOf(folder) : handleOf(held);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(handle, &info)) {
            return lastError();
        }
        if ((info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_READONLY) {
            return std::make_error_code(std::errc::permission_denied);
        }
        DWORD volume = 0;
        return ::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &volume, nullptr, 0) &&
                       (volume & FILE_READ_ONLY_VOLUME) != 0
                   ? std::make_error_code(std::errc::read_only_file_system)
                   : ok();
    }

    std::error_code facts(const EnvHandle& file, FileFacts& facts) override {
        return factsOfHandle(handleOf(file), facts);
    }

    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        got = 0;
        while (got < into.size()) {
            OVERLAPPED where = at(offset + got);
            DWORD now = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(into.size() - got, 1u << 30));
            if (!::ReadFile(handleOf(file), into.data() + got, chunk, &now, &where)) {
                if (::GetLastError() == ERROR_HANDLE_EOF) {
                    break;
                }
                return lastError();
            }
            if (now == 0) {
                break;
            }
            got += now;
        }
        return ok();
    }

    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        std::size_t done = 0;
        while (done < data.size()) {
            OVERLAPPED where = at(offset + done);
            DWORD now = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
            if (!::WriteFile(handleOf(file), data.data() + done, chunk, &now, &where)) {
                return lastError();
            }
            done += now;
        }
        return ok();
    }

    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFileInformationByHandle(handleOf(file), FileEndOfFileInfo, &end, sizeof end) ? ok()
                                                                                                : lastError();
    }

    std::error_code sync(const EnvHandle& fileOrFolder) override {
        FileFacts facts;
        if (factsOfHandle(handleOf(fileOrFolder), facts) || facts.kind == FileFacts::Kind::Folder) {
            return ok(); // Windows has no flush of a folder's entries; renames write through
        }
        return ::FlushFileBuffers(handleOf(fileOrFolder)) ? ok() : lastError();
    }

    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        BY_HANDLE_FILE_INFORMATION model{};
        if (!::GetFileInformationByHandle(handleOf(like), &model)) {
            return lastError();
        }
        FILE_BASIC_INFO basic{}; // times left at zero stay as they are
        const DWORD kept = model.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
        return ::SetFileInformationByHandle(handleOf(file), FileBasicInfo, &basic, sizeof basic) ? ok()
                                                                                                 : lastError();
    }

    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        OVERLAPPED where = at(static_cast<std::uint64_t>(range.offset));
        const DWORD low = static_cast<DWORD>(range.length);
        const DWORD high = static_cast<DWORD>(static_cast<std::uint64_t>(range.length) >> 32);
        if (kind == Lock::Unlocked) {
            return ::UnlockFileEx(handleOf(file), 0, low, high, &where) || ::GetLastError() == ERROR_NOT_LOCKED
                       ? ok()
                       : lastError();
        }
        const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (kind == Lock::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        return ::LockFileEx(handleOf(file), flags, 0, low, high, &where) ? ok() : lastError();
    }

    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override {
        locked = means(lock(file, range, Lock::Exclusive), std::errc::resource_unavailable_try_again);
        if (!locked) {
            (void)lock(file, range, Lock::Unlocked);
        }
        return ok();
    }

    void sleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }

private:
    // Opens what `leaf` holds, a link itself rather than what it points to.
    static std::error_code openAs(const EnvHandle& folder, const std::string& leaf, DWORD access, DWORD creation,
                                  EnvHandle& file) {
        std::wstring path;
        if (const std::error_code error = pathIn(folder, leaf, path)) {
            return error;
        }
        EnvHandle opened(reinterpret_cast<std::intptr_t>(
            ::CreateFileW(path.c_str(), access, kShareAll, nullptr, creation,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
        if (!opened) {
            return lastError();
        }
        file = std::move(opened);
        return ok();
    }
};

} // namespace

// Categories are compared by name: each DLL has its own (see means()).
// Names reach the system as UTF-8 converted here, so a failed conversion
// is a name that is not UTF-8 text, which the system words obscurely.
std::string describe(const std::error_code& error) {
    if (means(error, std::errc::illegal_byte_sequence)) {
        return "the name is not valid UTF-8 text";
    }
    if (std::string_view(error.category().name()) != "system") {
        return error.message();
    }
    return error.value() == ERROR_NO_UNICODE_TRANSLATION ? "the name is not valid UTF-8 text"
                                                          : windows::systemMessage(static_cast<DWORD>(error.value()));
}

std::optional<std::uint32_t> currentUser() { return std::nullopt; }

bool isMemberOf(std::uint32_t, std::uint32_t) { return false; }

std::string userName(std::uint32_t id) { return "user " + std::to_string(id); }

std::string currentUserName() {
    std::vector<wchar_t> name(257);
    DWORD length = static_cast<DWORD>(name.size());
    if (!::GetUserNameW(name.data(), &length) || length == 0) {
        return "?";
    }
    return windows::narrow(name.data(), static_cast<int>(length - 1)); // the length counts the terminator
}

std::string machineName() {
    std::vector<wchar_t> name(MAX_COMPUTERNAME_LENGTH + 1);
    DWORD length = static_cast<DWORD>(name.size());
    if (!::GetComputerNameW(name.data(), &length)) {
        return "?";
    }
    return windows::narrow(name.data(), static_cast<int>(length));
}

bool isHeldOpen(const FileName& name) {
    const std::optional<std::wstring> path = widen(name.toNativeString());
    return path && windows::deletable(*path) == ERROR_SHARING_VIOLATION;
}

// Windows file systems take 255 UTF-16 units per leaf; a UTF-8 leaf of 255
// bytes never has more.
std::size_t maxLeafNameLength(const FileName&) { return 255; }

bool openFilesMayBeReplaced() { return false; }

// NTFS compares names by its table of upper-case letters, which the
// system's ordinal comparison ignoring case follows.
bool sameLeafName(const std::string& a, const std::string& b) {
    const std::optional<std::wstring> wideA = widen(a), wideB = widen(b);
    if (!wideA || !wideB) {
        return a == b;
    }
    return ::CompareStringOrdinal(wideA->c_str(), static_cast<int>(wideA->size()), wideB->c_str(),
                                  static_cast<int>(wideB->size()), TRUE) == CSTR_EQUAL;
}

bool writeProtectionKeepsName() { return true; }

std::shared_ptr<Env> Env::native() {
    static const std::shared_ptr<Env> instance = std::make_shared<WindowsEnv>();
    return instance;
}

} // namespace Zorvan
