// NewFile on Windows: CreateFileW with CREATE_NEW and
// FILE_FLAG_OPEN_REPARSE_POINT, so that neither an existing file nor a link
// at the name is taken over; the attributes of `like` (read-only aside) are
// set through the handle the file was created with. The file's ACL is the
// one the folder hands down; replaceFile gives the design's to the file
// that replaces it.

#include <cstdint>
#include <optional>
#include <string>

#include "FileHandling/FileNameException.h"
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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

FileIdentity identityFrom(const BY_HANDLE_FILE_INFORMATION& info) {
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Opens what `path` holds, a link itself rather than what it points to.
UniqueHandle openHeld(const std::wstring& path, DWORD access) {
    return UniqueHandle(::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Marks the file open as `file` (with DELETE access) to go when its last
// handle is closed.
bool deleteWhenClosed(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The attributes a new file takes from its model. Read-only is left out:
// the file is about to be written.
DWORD adoptedAttributes(DWORD like) {
    const DWORD kept = like & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

[[noreturn]] void fail(const std::string& path, const std::string& message) {
    logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    throw FileNameException(message, path);
}

} // namespace

NewFile NewFile::create(const FileName& name, const FileName& like) {
    const std::string path = name.toNativeString();
    const std::string model = like.toNativeString();
    const std::optional<std::wstring> widePath = widen(path);
    const std::optional<std::wstring> wideModel = widen(model);
    if (!widePath || !wideModel) {
        fail(path, "Cannot create '" + path + "': " + reason(ERROR_NO_UNICODE_TRANSLATION));
    }
    // The model's attributes, links followed; read before anything is
    // created, so that a missing model leaves nothing behind.
    const UniqueHandle from(::CreateFileW(wideModel->c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION modelInfo{};
    if (!from || !::GetFileInformationByHandle(from.get(), &modelInfo)) {
        fail(path, "Cannot create '" + path + "': cannot read the attributes of '" + model +
                       "': " + reason(::GetLastError()));
    }
    const UniqueHandle file(::CreateFileW(widePath->c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        fail(path, "Cannot create '" + path + "': " + reason(::GetLastError()));
    }
    FILE_BASIC_INFO basic{}; // times left at zero stay as they are
    basic.FileAttributes = adoptedAttributes(modelInfo.dwFileAttributes);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandle(file.get(), &info)) {
        const DWORD error = ::GetLastError();
        deleteWhenClosed(file.get());
        fail(path, "Cannot create '" + path + "': cannot give it the attributes of '" + model + "': " + reason(error));
    }
    return NewFile(name, identityFrom(info));
}

void NewFile::discard() noexcept {
    if (m_released) {
        return;
    }
    try {
        // Checked and removed through one handle: a file put under the name
        // meanwhile is never removed.
        const std::optional<std::wstring> path = widen(m_name.toNativeString());
        const UniqueHandle file = path ? openHeld(*path, DELETE | FILE_READ_ATTRIBUTES) : UniqueHandle();
        BY_HANDLE_FILE_INFORMATION info{};
        if (file && ::GetFileInformationByHandle(file.get(), &info) && identityFrom(info) == m_identity) {
            deleteWhenClosed(file.get());
        }
    } catch (...) {
        // Out of memory for the name: the file stays, as after a crash.
    }
}

bool identityOf(const FileName& name, FileIdentity& identity) {
    const std::optional<std::wstring> path = widen(name.toNativeString());
    if (!path) {
        return false;
    }
    const UniqueHandle file = openHeld(*path, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
        return false;
    }
    identity = identityFrom(info);
    return true;
}

bool isHeldOpen(const FileName& name) {
    const std::optional<std::wstring> path = widen(name.toNativeString());
    return path && windows::deletable(*path) == ERROR_SHARING_VIOLATION;
}

// Windows file systems take 255 UTF-16 units per leaf; a UTF-8 leaf of 255
// bytes never has more.
std::size_t maxLeafNameLength(const FileName&) { return 255; }

} // namespace Zorvan
