// What a name means to Win32 on Windows. The native Env opens every file by
// its folder's final path and the leaf ("\\?\Z:\designs" + "pump.zvd."),
// which the system takes literally: Win32's own rules for names (trailing
// dots and spaces, short names, devices, streams) must be applied to the
// user's name before the road starts, or a save would make a file other
// programs cannot open, or write a device.

#include "FileHandling/Folder.h"
#include "WindowsFiles.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace Zorvan {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// "\\?\..." and "\\.\...": names the system takes as they are.
bool isVerbatim(const std::string& path) {
    return path.size() >= 4 && isSeparator(path[0]) && isSeparator(path[1]) && (path[2] == '?' || path[2] == '.') &&
           isSeparator(path[3]);
}

bool hasDrive(const std::string& path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
}

// "Z:pump.zvd": in the current folder of drive Z, whatever the process's.
bool isDriveRelative(const std::string& path) { return hasDrive(path) && (path.size() == 2 || !isSeparator(path[2])); }

// Whether `base`, a component up to its first dot, is a device's name.
bool isDevice(std::string base) {
    std::transform(base.begin(), base.end(), base.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    constexpr std::array<std::string_view, 6> kNamed = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(kNamed.begin(), kNamed.end(), base) != kNamed.end()) {
        return true;
    }
    const std::string_view port(base);
    const std::string_view number = port.substr(std::min<std::size_t>(3, port.size()));
    const bool isPort = port.starts_with("COM") || port.starts_with("LPT");
    constexpr std::array<std::string_view, 3> kSuperscripts = {"\xc2\xb9", "\xc2\xb2", "\xc2\xb3"};
    return isPort && ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') ||
                      std::find(kSuperscripts.begin(), kSuperscripts.end(), number) != kSuperscripts.end());
}

// The device `component` opens wherever it stands ("con" for "con .zvd"),
// or nothing: CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 (also with the
// superscript digits 1-3) in any case, whatever follows its first dot,
// spaces before that dot ignored.
std::optional<std::string> deviceOf(std::string_view component) {
    std::string named(component.substr(0, component.find('.')));
    named.erase(named.find_last_not_of(' ') + 1);
    return isDevice(named) ? std::optional<std::string>(named) : std::nullopt;
}

// The first thing in `path` no file name may hold on Windows.
NativeName faultOf(const std::string& path) {
    const std::size_t start = hasDrive(path) ? 2 : 0;
    for (std::size_t at = start; at < path.size(); ++at) {
        const char c = path[at];
        if (c == ':') {
            return {path, NativeName::Fault::Stream, path.substr(at)};
        }
        if (std::string_view("<>|?*\"").find(c) != std::string_view::npos || (c > 0 && c < 32)) {
            return {path, NativeName::Fault::Character, std::string(1, c)};
        }
    }
    for (std::size_t at = start; at < path.size();) {
        const std::size_t end = std::min(path.find_first_of("/\\", at), path.size());
        const std::string component = path.substr(at, end - at);
        if (const std::optional<std::string> device = deviceOf(component)) {
            return {path, NativeName::Fault::Device, *device};
        }
        at = end + 1;
    }
    return {path, NativeName::Fault::None, ""};
}

// Whether a component of `path` ends in a dot or a space that Win32 drops
// ("." and ".." are folders, not names that end in a dot).
bool hasTrailingDotOrSpace(const std::string& path) {
    std::size_t begin = 0;
    for (std::size_t at = 0; at <= path.size(); ++at) {
        if (at < path.size() && !isSeparator(path[at])) {
            continue;
        }
        const std::string_view component(path.data() + begin, at - begin);
        if (component != "." && component != ".." && (component.ends_with('.') || component.ends_with(' '))) {
            return true;
        }
        begin = at + 1;
    }
    return false;
}

// Calls `fill(buffer, size)`, a Win32 call that returns the length it
// wrote or the size it needs, until the buffer is big enough; nothing when
// it fails.
template <class Fill>
std::optional<std::wstring> filled(Fill fill) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);
    }
}

// `path` with its longest part that exists in long names: the short names
// (8.3) of its folders and file replaced by their long ones.
std::wstring longForm(const std::wstring& path) {
    for (std::size_t end = path.size(); end > 0;) {
        const std::wstring head = path.substr(0, end);
        if (const std::optional<std::wstring> expanded =
                filled([&](wchar_t* into, DWORD size) { return ::GetLongPathNameW(head.c_str(), into, size); })) {
            return *expanded + path.substr(end);
        }
        const std::size_t separator = path.find_last_of(L"/\\", end - 1);
        end = separator == std::wstring::npos ? 0 : separator;
    }
    return path;
}

} // namespace

NativeName nativeName(const std::string& path) {
    if (isVerbatim(path)) {
        return {path, NativeName::Fault::None, ""};
    }
    NativeName name = faultOf(path);
    const bool full = isDriveRelative(path) || hasTrailingDotOrSpace(path);
    // Only a name with a tilde can be a short one: one without is its own.
    const bool shortName = path.find('~') != std::string::npos;
    const std::optional<std::wstring> wide = windows::widen(path);
    if (name.fault != NativeName::Fault::None || !wide || (!full && !shortName)) {
        return name;
    }
    std::wstring normal = *wide;
    if (full) {
        normal = filled([&](wchar_t* into, DWORD size) {
                     return ::GetFullPathNameW(wide->c_str(), size, into, nullptr);
                 }).value_or(normal);
    }
    if (shortName) {
        normal = longForm(normal);
    }
    name.path = windows::narrow(normal.data(), static_cast<int>(normal.size()));
    return name;
}

} // namespace Zorvan
