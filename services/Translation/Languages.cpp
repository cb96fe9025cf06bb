#include "Translation/Languages.h"

#include <cstdlib>
#include <string_view>
#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#endif

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

#ifdef _WIN32
// A Windows language name as catalogues are named, by language and region:
// "de-DE" is "de_DE", "sr-Latn-RS" "sr_RS" (the script is dropped).
std::string catalogueName(std::wstring_view name) {
    std::string language;
    std::string region;
    for (bool first = true; !name.empty(); first = false) {
        const std::wstring_view subtag = name.substr(0, name.find(L'-'));
        name.remove_prefix(subtag.size() < name.size() ? subtag.size() + 1 : name.size());
        std::string ascii;
        for (const wchar_t c : subtag) {
            ascii += c < 0x80 ? static_cast<char>(c) : '?';
        }
        if (first) {
            language = ascii;
        } else if (ascii.size() == 2) {
            region = "_" + ascii;
        }
    }
    return language.empty() ? language : language + region;
}

// The languages the user chose for Windows' own texts, most wanted first,
// as a list in LANGUAGE's form ("de_CH:de_DE"); empty when Windows cannot
// say.
std::string userInterfaceLanguages() {
    ULONG count = 0;
    ULONG size = 0;
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size == 0) {
        return {};
    }
    std::wstring names(size, L'\0'); // each name ends with a null, the list with another
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, names.data(), &size)) {
        return {};
    }
    std::string list;
    for (const wchar_t* name = names.c_str(); *name != L'\0'; name += std::wcslen(name) + 1) {
        const std::string language = catalogueName(name);
        if (!language.empty()) {
            list += (list.empty() ? "" : ":") + language;
        }
    }
    return list;
}
#endif

} // namespace

std::vector<std::string> languagesFromEnvironment() {
    // The locale of messages decides first: in the C locale (or none set)
    // every message stays in its source text, whatever LANGUAGE says. On
    // Windows, where these variables are seldom set, the user's choice of
    // language for Windows itself takes the place of a locale none names.
    const char* locale = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if ((locale = variable(name)) != nullptr) {
            break;
        }
    }
#ifdef _WIN32
    const std::string system = locale == nullptr ? userInterfaceLanguages() : std::string();
    if (locale == nullptr && !system.empty()) {
        locale = system.c_str();
    }
#endif
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
