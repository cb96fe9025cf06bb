// The conversions between a host's wide names and the library's UTF-8:
// every Unicode character both ways, and every way a text can fail to be
// one.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "FileHandling/WideText.h"

namespace Zorvan {
namespace {

// Every character, alone and between others, goes to UTF-8 of the length
// its value calls for and comes back the same; names a user types come out
// as the compiler encodes the same literal, the independent answer.
TEST(WideText, EveryCharacterGoesThereAndBack) {
    const auto utf8Length = [](char32_t c) { return c < 0x80 ? 1U : c < 0x800 ? 2U : c < 0x10000 ? 3U : 4U; };
    for (char32_t c = 0; c <= 0x10FFFF; c = c == 0xD7FF ? 0xE000 : c + 1) { // surrogates are no characters
        const std::wstring wide = sizeof(wchar_t) == 2 && c >= 0x10000
                                      ? std::wstring{static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)),
                                                     static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF))}
                                      : std::wstring{static_cast<wchar_t>(c)};
        const std::string utf8 = utf8FromWide(wide);
        ASSERT_EQ(utf8.size(), utf8Length(c)) << std::hex << static_cast<std::uint32_t>(c);
        ASSERT_EQ(wideFromUtf8("a" + utf8 + "b"), L"a" + wide + L"b") << std::hex << static_cast<std::uint32_t>(c);
    }
    const std::u8string_view typed = u8"Entwürfe/Pumpe-Größe.zvd 泵站.zvd pump🚀.zvd";
    const std::string utf8(typed.begin(), typed.end());
    EXPECT_EQ(utf8FromWide(L"Entwürfe/Pumpe-Größe.zvd 泵站.zvd pump🚀.zvd"), utf8);
    EXPECT_EQ(wideFromUtf8(utf8), L"Entwürfe/Pumpe-Größe.zvd 泵站.zvd pump🚀.zvd");
}

// An unpaired surrogate wherever it stands, a value above the last
// character (UTF-32), and each way bytes fail to be UTF-8 are refused,
// naming the unit or byte where the fault starts.
TEST(WideText, RefusesWhatIsNoTextSayingWhere) {
    const auto wide = [](std::wstring text) { return [text] { (void)utf8FromWide(text); }; };
    const auto bytes = [](std::string text) { return [text] { (void)wideFromUtf8(text); }; };
    const wchar_t high = static_cast<wchar_t>(0xD83D), low = static_cast<wchar_t>(0xDE80);
    const std::pair<std::function<void()>, const char*> cases[] = {
        {wide({L'a', high}), "unit 1"},
        {wide({L'a', high, high, low}), "unit 1"},
        {wide({high, L'a', low}), "unit 0"},
        {wide({L'a', L'b', static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xDE80)}), "unit 2"},
        {bytes("ab\x80"), "byte 2"},                       // a stray continuation byte
        {bytes("a\xE6\xB3"), "byte 1"},                    // a cut sequence
        {bytes("a\xC0\xAF"), "byte 1"},                    // an overlong slash (a form of 2 bytes for 1)
        {bytes("x\xED\xA0\x80"), "byte 1"},                // a surrogate
        {bytes("\xF4\x90\x80\x80"), "byte 0"},             // above U+10FFFF
        {bytes("\xF8\x88\x80\x80\x80"), "byte 0"},         // a five-byte lead
        {bytes("Gr\xF6\xDF" "e"), "byte 2"},               // the 8-bit code page's "Größe"
    };
    for (const auto& [convert, at] : cases) {
        try {
            convert();
            ADD_FAILURE() << "accepted, expected a refusal at " << at;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(at), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace Zorvan
