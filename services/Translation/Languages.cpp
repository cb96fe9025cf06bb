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
    const char* value = nullptr;
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        value = variable(name);
        if (value != nullptr) {
            break;
        }
    }
    std::vector<std::string> languages;
    std::string_view rest = value != nullptr ? value : "";
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
