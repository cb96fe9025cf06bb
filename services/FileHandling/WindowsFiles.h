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

// True when `error`, from an operation on `path`, may come from another
// process holding the file for a moment rather than from the file itself:
// a sharing violation; access denied to a file that is neither read-only
// nor a folder (those are refused every time); ReplaceFileW's report that
// it could not remove the destination, or could not move the replacement
// in while the destination is still there (both keep their names then; a
// handle another process has on the destination does that, such as the
// one a save waiting for the design's lock opens for a moment).
bool mayBeHeld(DWORD error, const std::wstring& path);

// Runs `operation`, a call that reports failure through GetLastError, until
// it succeeds, fails for another reason than `path` being held, or has
// been tried kAttempts times (about a fifth of a second in all). Returns
// ERROR_SUCCESS or the last error.
template <class Operation>
DWORD retryWhileHeld(const std::wstring& path, Operation operation) {
    constexpr int kAttempts = 5;
    for (int attempt = 1;; ++attempt) {
        if (operation()) {
            return ERROR_SUCCESS;
        }
        const DWORD error = ::GetLastError();
        if (attempt == kAttempts || !mayBeHeld(error, path)) {
            return error;
        }
        ::Sleep(static_cast<DWORD>(20 * attempt));
    }
}

// The system's text for `error`, in the user's language, as UTF-8:
// "The system cannot find the file specified". The trailing period and
// line break are dropped, as the text ends a longer message.
std::string reason(DWORD error);

} // namespace Zorvan::windows
