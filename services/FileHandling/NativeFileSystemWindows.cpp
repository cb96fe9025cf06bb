// The native file system on Windows.
//
// Names are UTF-8 text. Every call converts them to UTF-16 and uses the
// wide-character API, so that names outside the ANSI code page work, and
// the system's messages come back as UTF-8 as well.
//
// replaceFile is the durable half of a save through a temporary file:
//   1. flush the temporary file's data to disk (FlushFileBuffers), so that
//      the destination's name can never point at content still in a cache;
//   2. give it the destination's hidden, system, archive and not-indexed
//      attributes;
//   3. ReplaceFileW puts it in the destination's place and gives it the
//      destination's ACL, attributes and creation time, so that a rewrite
//      keeps what the user or an administrator set on the file. It is
//      called once the destination could be removed: a destination another
//      program holds open without letting it be deleted is waited for
//      first (see below), as ReplaceFileW would fail, and Wine's leaves a
//      stray file beside it each time;
//   4. when there is no destination yet, or ReplaceFileW could not move the
//      replacement into place (the destination is then gone or renamed),
//      MoveFileExW renames it over the destination, writing through to disk.
// The destination is never deleted before the rename: a crash in between
// would lose the file.
//
// Virus scanners and indexers open a file for a moment after it was
// written. remove and the renames of replaceFile retry a few times while
// the file is held that way, then report the failure; isHeldOpen
// (NewFile.h) tells the caller when that was the reason.
//
// The destination's name is used as given: unlike on POSIX, a symbolic
// link there is not resolved to the file it points to first.

#include <memory>
#include <optional>
#include <string>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"
#include "FileHandling/NewFile.h"
#include "Logging/Logging.h"
#include "WindowsFiles.h"

namespace Zorvan {
namespace {

using windows::reason;
using windows::UniqueHandle;
using windows::widen;

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

// Opens `path` (a file or a folder) for reading its attributes only. Such
// a handle conflicts with no other process's sharing mode. With
// followLinks false a final link is opened itself, dangling or not.
UniqueHandle openForQuery(const std::wstring& path, bool followLinks = true) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return UniqueHandle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      flags, nullptr));
}

// The error of a failed step of replaceFile: which step, and the system's code.
struct Failure {
    const char* step;
    DWORD error;
};

std::optional<Failure> flush(const std::wstring& path) {
    // FlushFileBuffers needs write access, which a scanner reading the
    // freshly written file may deny for a moment.
    UniqueHandle file;
    const DWORD error = windows::retryWhileHeld(path, [&] {
        file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
    if (error != ERROR_SUCCESS) {
        return Failure{"open the source", error};
    }
    if (!::FlushFileBuffers(file.get())) {
        return Failure{"flush the source", ::GetLastError()};
    }
    return std::nullopt;
}

// The attributes of `destination` that its replacement takes on before it
// is put in place. ReplaceFileW copies them too, but the MoveFileExW
// fallback would not. Read-only is left out: a read-only destination is
// refused anyway, and the attribute would only keep the replacement from
// being renamed.
DWORD keptAttributes(DWORD destination) {
    const DWORD kept = destination & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// The full form of `path` ("pump.zvd" -> "C:\designs\pump.zvd"), or
// nothing when it has none.
std::optional<std::wstring> fullPath(const std::optional<std::wstring>& path) {
    if (!path) {
        return std::nullopt;
    }
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(path->c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

std::optional<Failure> replace(const std::string& source, const std::string& destination) {
    // Full names: Wine's ReplaceFileW fails on a name without a folder.
    const std::optional<std::wstring> from = fullPath(widen(source));
    const std::optional<std::wstring> to = fullPath(widen(destination));
    if (!from || !to) {
        return Failure{"convert the names to UTF-16", ERROR_NO_UNICODE_TRANSLATION};
    }
    if (auto failure = flush(*from)) {
        return failure;
    }
    // A rename can be reported as failed after it was done (Wine does so
    // when another process has the destination open for a moment, as a
    // save waiting for the design's lock does): a call whose replacement
    // is in place by then succeeded, and is not tried again.
    FileIdentity replacement;
    if (!identityOf(source, replacement)) {
        return Failure{"open the source", ::GetLastError()};
    }
    // Whether a call that returned `succeeded` is done; its error stays
    // the last error otherwise.
    const auto done = [&](bool succeeded) {
        if (succeeded) {
            return true;
        }
        const DWORD error = ::GetLastError();
        FileIdentity now;
        if (identityOf(destination, now) && now == replacement) {
            return true;
        }
        ::SetLastError(error);
        return false;
    };
    if (const DWORD existing = ::GetFileAttributesW(to->c_str()); existing != INVALID_FILE_ATTRIBUTES) {
        if (!::SetFileAttributesW(from->c_str(), keptAttributes(existing))) {
            return Failure{"copy the attributes", ::GetLastError()};
        }
        const DWORD held = windows::retryWhileHeld(*to, [&] {
            const DWORD probe = windows::deletable(*to);
            ::SetLastError(probe);
            return probe == ERROR_SUCCESS;
        });
        if (held != ERROR_SUCCESS) {
            return Failure{"replace the destination", held};
        }
        // Merge and ACL errors would otherwise refuse the whole save when
        // the process may not copy every property of the destination; the
        // content matters more.
        const DWORD error = windows::retryWhileHeld(*to, [&] {
            return done(::ReplaceFileW(to->c_str(), from->c_str(), nullptr,
                                       REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                                       nullptr) != 0);
        });
        if (error == ERROR_SUCCESS) {
            return std::nullopt;
        }
        // Any other failure leaves both files under their names.
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            return Failure{"replace the destination", error};
        }
    }
    const DWORD error = windows::retryWhileHeld(*to, [&] {
        return done(::MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0);
    });
    if (error != ERROR_SUCCESS) {
        return Failure{"rename the source over the destination", error};
    }
    return std::nullopt;
}

class WindowsFileSystem final : public FileSystem {
public:
    bool exists(const FileName& name, bool followSymlinks) override {
        const std::optional<std::wstring> path = widen(name.toNativeString());
        if (!path) {
            return false;
        }
        return static_cast<bool>(openForQuery(*path, followSymlinks));
    }

    bool isReadOnly(const FileName& name) override {
        const std::optional<std::wstring> path = widen(name.toNativeString());
        if (!path) {
            return false;
        }
        // One handle answers both questions for the file a link finally
        // names, on the volume it really lives on (mounted folders included).
        const UniqueHandle file = openForQuery(*path);
        if (!file) {
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        // On a folder the attribute only marks a customised view.
        if (::GetFileInformationByHandle(file.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return true;
        }
        DWORD volumeFlags = 0;
        return ::GetVolumeInformationByHandleW(file.get(), nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0) &&
               (volumeFlags & FILE_READ_ONLY_VOLUME) != 0;
    }

    void remove(const FileName& name) override {
        const std::string path = name.toNativeString();
        const std::optional<std::wstring> wide = widen(path);
        const DWORD error = wide ? windows::retryWhileHeld(*wide, [&] { return ::DeleteFileW(wide->c_str()) != 0; })
                                 : static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION);
        if (error != ERROR_SUCCESS) {
            const std::string message = "Cannot remove '" + path + "': " + reason(error);
            logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            throw FileNameException(message, path);
        }
    }

    bool replaceFile(const FileName& source, const FileName& destination) override {
        const std::string from = source.toNativeString();
        const std::string to = destination.toNativeString();
        if (const std::optional<Failure> failure = replace(from, to)) {
            logger().logERROR("Cannot replace '" + to + "' with '" + from + "': cannot " + failure->step + ": " +
                                  reason(failure->error),
                              __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            return false;
        }
        return true;
    }
};

} // namespace

std::shared_ptr<FileSystem> nativeFileSystem() {
    static const std::shared_ptr<FileSystem> instance = std::make_shared<WindowsFileSystem>();
    return instance;
}

} // namespace Zorvan
