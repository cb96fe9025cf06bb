#pragma once
// Sets the locale variables that select the user's language (LANGUAGE,
// LC_ALL, LC_MESSAGES, LANG) for the lifetime of the object, and puts the
// process's own values back afterwards. For tests of what the user sees in
// one language or another.

#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace Zorvan::testing {

class LocaleEnvironment {
public:
    static constexpr const char* kVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

    // `values` in the order of kVariables; null, or missing at the end: unset.
    explicit LocaleEnvironment(const std::vector<const char*>& values) {
        for (std::size_t i = 0; i < std::size(kVariables); ++i) {
            const char* old = std::getenv(kVariables[i]);
            m_saved.push_back(old != nullptr ? std::optional<std::string>(old) : std::nullopt);
            set(kVariables[i], i < values.size() ? values[i] : nullptr);
        }
    }
    ~LocaleEnvironment() {
        for (std::size_t i = 0; i < m_saved.size(); ++i) {
            set(kVariables[i], m_saved[i] ? m_saved[i]->c_str() : nullptr);
        }
    }
    LocaleEnvironment(const LocaleEnvironment&) = delete;
    LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

private:
    static void set(const char* name, const char* value) {
#ifdef _WIN32
        _putenv_s(name, value != nullptr ? value : "");
#else
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
#endif
    }

    std::vector<std::optional<std::string>> m_saved;
};

} // namespace Zorvan::testing
