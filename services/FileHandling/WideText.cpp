#include "FileHandling/WideText.h"

#include <boost/locale/utf.hpp>

#include <iterator>
#include <stdexcept>
#include <string>

namespace Zorvan {
namespace {

// `text` character by character from one Unicode form into another, with
// Boost.Locale's codecs (which refuse surrogates, overlong forms and values
// above U+10FFFF); a fault names the unit where its character starts.
template <class To, class From>
std::basic_string<To> convert(std::basic_string_view<From> text, const char* whatText, const char* unitName) {
    namespace utf = boost::locale::utf;
    std::basic_string<To> converted;
    converted.reserve(text.size());
    for (auto at = text.begin(); at != text.end();) {
        const auto start = at;
        const utf::code_point c = utf::utf_traits<From>::decode(at, text.end());
        if (c == utf::illegal || c == utf::incomplete) {
            throw std::invalid_argument(std::string(whatText) + " at " + unitName + " " +
                                        std::to_string(start - text.begin()));
        }
        utf::utf_traits<To>::encode(c, std::back_inserter(converted));
    }
    return converted;
}

} // namespace

std::string utf8FromWide(std::wstring_view wide) {
    return convert<char>(wide, "the wide text holds no character (an unpaired surrogate or a value above U+10FFFF)",
                         "unit");
}

std::wstring wideFromUtf8(std::string_view utf8) {
    return convert<wchar_t>(utf8, "the text is not valid UTF-8", "byte");
}

} // namespace Zorvan
