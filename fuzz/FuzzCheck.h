#pragma once
// How a fuzz target reports a broken invariant: one line on standard error
// naming the condition and the values involved, then abort(), which
// libFuzzer and the replay program both treat as a finding (libFuzzer
// saves the input as crash-*).

#include <cstdio>
#include <cstdlib>
#include <string>

namespace Zorvan::fuzz {

[[noreturn]] inline void fail(const char* condition, const std::string& details) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n  %s\n", condition, details.c_str());
    std::fflush(stderr);
    std::abort();
}

// `text` in double quotes with every byte outside printable ASCII as \xNN,
// so a name made of arbitrary bytes reads unambiguously in a report.
inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
        out += c < 0x20 || c > 0x7e || c == '"' || c == '\\' ? escaped : std::string(1, c);
    }
    return out + "\"";
}

} // namespace Zorvan::fuzz

// Aborts with `details` (a std::string expression, built only on failure)
// unless `condition` holds.
#define ZV_FUZZ_REQUIRE(condition, details) ((condition) ? void() : ::Zorvan::fuzz::fail(#condition, (details)))
