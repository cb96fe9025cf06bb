// The conversions between a host's wide names and the library's UTF-8:
// every Unicode character both ways, and every way a text can fail to be
// one.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileHandling/WideText.h"

namespace Zorvan {
namespace {

// The compiler's own encoding of the same literal is the independent
// answer: names a user types, in UTF-8 and as wide text.
TEST(WideText, NamesComeOutAsTheCompilerEncodesThem) {
    struct Name { std::wstring_view wide; std::u8string_view utf8; };
    const Name names[] = {
        {L"pump.zvd", u8"pump.zvd"},
        {L"Entwürfe/Pumpe-Größe.zvd", u8"Entwürfe/Pumpe-Größe.zvd"},
        {L"泵站.zvd", u8"泵站.zvd"},
        {L"pump🚀.zvd", u8"pump🚀.zvd"},
        {L"", u8""},
    };
    for (const Name& name : names) {
        const std::string utf8(name.utf8.begin(), name.utf8.end());
        EXPECT_EQ(utf8FromWide(name.wide), utf8) << utf8;
        EXPECT_EQ(wideFromUtf8(utf8), name.wide) << utf8;
    }
}

// Every character, alone and between others, goes to UTF-8 of the length
// its value calls for and comes back the same.
TEST(WideText, EveryCharacterGoesThereAndBack) {
    const auto utf8Length = [](char32_t c) { return c < 0x80 ? 1U : c < 0x800 ? 2U : c < 0x10000 ? 3U : 4U; };
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c == 0xD800) {
            c = 0xE000; // surrogates are no characters
        }
        std::wstring wide;
        if (sizeof(wchar_t) == 2 && c >= 0x10000) {
            wide = {static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)),
                    static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
        } else {
            wide = {static_cast<wchar_t>(c)};
        }
        const std::string utf8 = utf8FromWide(wide);
        const auto value = static_cast<std::uint32_t>(c);
        ASSERT_EQ(utf8.size(), utf8Length(c)) << std::hex << value;
        ASSERT_EQ(wideFromUtf8(utf8), wide) << std::hex << value;
        ASSERT_EQ(wideFromUtf8("a" + utf8 + "b"), L"a" + wide + L"b") << std::hex << value;
    }
}

TEST(WideText, RefusesWhatIsNoText) {
    // An unpaired surrogate, wherever it stands, and (as UTF-32) a value
    // above the last character; the message names the unit.
    struct Wide { std::wstring text; const char* at; };
    std::vector<Wide> wides = {
        {{L'a', wchar_t(0xD83D)}, "unit 1"},
        {{wchar_t(0xDE80), L'a'}, "unit 0"},
        {{L'a', wchar_t(0xD83D), wchar_t(0xD83D), wchar_t(0xDE80)}, "unit 1"},
        {{wchar_t(0xD83D), L'a', wchar_t(0xDE80)}, "unit 0"},
    };
    if (sizeof(wchar_t) == 4) {
        wides.push_back({{L'a', L'b', static_cast<wchar_t>(0x110000)}, "unit 2"});
    }
    for (const Wide& wide : wides) {
        try {
            (void)utf8FromWide(wide.text);
            ADD_FAILURE() << "accepted unit " << wide.at;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(wide.at), std::string::npos) << e.what();
        }
    }
    // Every way bytes fail to be UTF-8; the message names the byte the bad
    // sequence starts at.
    struct Bytes { const char* what; std::string text; const char* at; };
    const Bytes bytes[] = {
        {"a stray continuation byte", "ab\x80", "byte 2"},
        {"a cut sequence", "a\xE6\xB3", "byte 1"},
        {"a sequence cut by another character", "\xE6\xB3" "a", "byte 0"},
        {"an overlong slash", "a\xC0\xAF", "byte 1"},
        {"an overlong three-byte form", "\xE0\x80\xAF", "byte 0"},
        {"an overlong four-byte form", "\xF0\x8F\xBF\xBF", "byte 0"},
        {"a surrogate", "x\xED\xA0\x80", "byte 1"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "byte 0"},
        {"a five-byte lead", "\xF8\x88\x80\x80\x80", "byte 0"},
        {"the 8-bit code page's ö", "Gr\xF6\xDF" "e", "byte 2"},
    };
    for (const Bytes& b : bytes) {
        try {
            (void)wideFromUtf8(b.text);
            ADD_FAILURE() << "accepted " << b.what;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(b.at), std::string::npos) << b.what << ": " << e.what();
        }
    }
}

} // namespace
} // namespace Zorvan
