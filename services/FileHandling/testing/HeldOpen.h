#pragma once
// A file held open by "another program" for the Windows tests: a handle of
// its own, with the sharing mode such a program chooses (a virus scanner
// or a viewer that lets others read, or read and write, but not delete or
// rename the file meanwhile); and a file's attributes. Names go in as
// UTF-8 text.

#include "Common/WindowsApi.h"

#include <string>

#include "FileHandling/testing/TempFolder.h"

namespace Zorvan::testing {

class HeldOpen {
public:
    explicit HeldOpen(const std::string& file, DWORD share = FILE_SHARE_READ)
        : m_handle(::CreateFileW(TempFolder::fromUtf8(file).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldOpen() { release(); }
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    void release() {
        if (valid()) {
            ::CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE m_handle;
};

// Sets the attributes of `file` (false when they cannot be set).
inline bool setAttributes(const std::string& file, DWORD attributes) {
    return ::SetFileAttributesW(TempFolder::fromUtf8(file).c_str(), attributes) != 0;
}

} // namespace Zorvan::testing
