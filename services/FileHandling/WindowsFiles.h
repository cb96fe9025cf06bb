#pragma once
// What the Windows parts of the file service share (internal, not
// installed): a handle owner and the conversions between the UTF-8 names
// and messages of the service and the wide-character API.

#include "Common/WindowsApi.h"

#include <optional>
#include <string>

namespace Zorvan::windows {

// Owns a handle from CreateFileW; closes it on every exit path.
class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~UniqueHandle() { reset(INVALID_HANDLE_VALUE); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    // Closes the handle held so far and takes `handle` instead.
    void reset(HANDLE handle) {
        if (*this) {
            ::CloseHandle(m_handle);
        }
        m_handle = handle;
    }

private:
    HANDLE m_handle;
};

// The UTF-16 form of UTF-8 `text`; nothing when `text` is not valid UTF-8.
std::optional<std::wstring> widen(const std::string& text);

// The UTF-8 form of `length` UTF-16 units at `text`.
std::string narrow(const wchar_t* text, int length);

// Whether the file `path` names could be renamed over or removed now: it
// is opened for DELETE access, sharing everything, and closed again.
// ERROR_SUCCESS, or why not; ERROR_SHARING_VIOLATION when a handle (of any
// program) has it open without FILE_SHARE_DELETE, as viewers, virus
// scanners and SQLite's own connections open files.
DWORD deletable(const std::wstring& path);

// The system's text for `error`, in the user's language, as UTF-8:
// "The system cannot find the file specified". The trailing period and
// line break are dropped, as the text ends a longer message.
std::string reason(DWORD error);

} // namespace Zorvan::windows
