#include "Translation/Languages.h"

#include <cstdlib>
#include <string_view>

namespace Zorvan {
namespace {

bool isSourceLanguage(std::string_view language) {
    const std::string_view name = language.substr(0, language.find_first_of("_.@"));
    return name == "C" || name == "POSIX" || name == "en";
}

const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

std::vector<std::string> languagesFromEnvironment() {
    // The locale of messages decides first: in the C locale (or none set)
    // every message stays in its source text, whatever LANGUAGE says.
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if ((locale = variable(name)) != nullptr) {
            break;
        }
    }
    std::vector<std::string> languages;
    if (locale == nullptr || isSourceLanguage(locale)) {
        return languages;
    }
    const char* preferred = variable("LANGUAGE");
    std::string_view rest = preferred != nullptr ? preferred : locale;
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view language = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (language.empty()) {
            continue;
        }
        if (isSourceLanguage(language)) {
            break;
        }
        languages.emplace_back(language);
    }
    return languages;
}

} // namespace Zorvan
