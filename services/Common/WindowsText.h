#pragma once
// Text between the tree's UTF-8 strings and the Windows wide-character API,
// and the system's message for an error, for every Windows source of the
// tree (header-only: the file service and the program's library loader
// both use it, and the program links none of the tree's libraries).

#include "Common/WindowsApi.h"

#include <climits>
#include <cwctype>
#include <iterator>
#include <optional>
#include <string>

namespace Zorvan::windows {

// The UTF-16 form of UTF-8 `text`; nothing when `text` is not valid UTF-8.
inline std::optional<std::wstring> widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// The UTF-8 form of `length` UTF-16 units at `text`.
inline std::string narrow(const wchar_t* text, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

// The system's text for `error`, in the user's language, as UTF-8:
// "The system cannot find the file specified". The trailing period and
// line break are dropped, as the text ends a longer message.
inline std::string systemMessage(DWORD error) {
    wchar_t buffer[512];
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                    buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
    while (length > 0 && (std::iswspace(buffer[length - 1]) != 0 || buffer[length - 1] == L'.')) {
        --length;
    }
    const std::string text = narrow(buffer, static_cast<int>(length));
    return text.empty() ? "system error " + std::to_string(error) : text;
}

} // namespace Zorvan::windows
