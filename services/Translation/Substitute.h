#pragma once
/// @file
/// substitute(): puts values into a translated sentence. A sentence is
/// translated whole, with %1 ... %9 where its values go, so that every
/// language can place them where its word order wants them:
/// substitute(translated("cannot save %1: %2"), {file, why}).

#include <initializer_list>
#include <string>
#include <string_view>

namespace Zorvan {

/// `text` with each %1 ... %9 replaced by that value of `values`; a marker
/// without a value, and any other %, stays as it is.
inline std::string substitute(std::string_view text, std::initializer_list<std::string_view> values) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            const auto index = static_cast<std::size_t>(text[i + 1] - '1');
            if (index < values.size()) {
                result += values.begin()[index];
                ++i;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

} // namespace Zorvan
