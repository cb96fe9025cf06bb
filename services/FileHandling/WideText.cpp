#include "FileHandling/WideText.h"

#include <cstdint>
#include <stdexcept>
#include <type_traits>

namespace Zorvan {
namespace {

constexpr bool kUtf16 = sizeof(wchar_t) == 2;

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

[[noreturn]] void invalidWide(std::size_t at) {
    throw std::invalid_argument("the wide text holds no character at unit " + std::to_string(at) +
                                " (an unpaired surrogate or a value above U+10FFFF)");
}

[[noreturn]] void invalidUtf8(std::size_t at) {
    throw std::invalid_argument("the text is not valid UTF-8 at byte " + std::to_string(at));
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void appendWide(std::wstring& out, char32_t c) {
    if (kUtf16 && c >= 0x10000) {
        out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += static_cast<wchar_t>(c);
    }
}

// The character that starts at `wide[at]`; `at` is moved past it.
char32_t nextOfWide(std::wstring_view wide, std::size_t& at) {
    const std::size_t start = at;
    const auto unit = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wide[at++]));
    if (kUtf16 && isHighSurrogate(unit) && at < wide.size() && isLowSurrogate(static_cast<char32_t>(wide[at]))) {
        return 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(wide[at++]) - 0xDC00);
    }
    if (isSurrogate(unit) || unit > 0x10FFFF) {
        invalidWide(start);
    }
    return unit;
}

// The character whose UTF-8 form starts at `utf8[at]`; `at` is moved past it.
char32_t nextOfUtf8(std::string_view utf8, std::size_t& at) {
    const std::size_t start = at;
    const auto lead = static_cast<std::uint8_t>(utf8[at++]);
    if (lead < 0x80) {
        return lead;
    }
    // The length the lead byte announces, and the least value of that
    // length (a smaller one is an overlong form).
    const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (more == 0 || lead >= 0xF8) {
        invalidUtf8(start);
    }
    char32_t c = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        if (at == utf8.size() || (static_cast<std::uint8_t>(utf8[at]) & 0xC0) != 0x80) {
            invalidUtf8(start);
        }
        c = (c << 6) | (static_cast<std::uint8_t>(utf8[at++]) & 0x3F);
    }
    if (c < kLeast[more] || c > 0x10FFFF || isSurrogate(c)) {
        invalidUtf8(start);
    }
    return c;
}

} // namespace

std::string utf8FromWide(std::wstring_view wide) {
    std::string utf8;
    utf8.reserve(wide.size());
    for (std::size_t at = 0; at < wide.size();) {
        appendUtf8(utf8, nextOfWide(wide, at));
    }
    return utf8;
}

std::wstring wideFromUtf8(std::string_view utf8) {
    std::wstring wide;
    wide.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        appendWide(wide, nextOfUtf8(utf8, at));
    }
    return wide;
}

} // namespace Zorvan
