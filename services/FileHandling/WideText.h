#pragma once
/// @file
/// WideText: the one conversion a host needs between the wide-character
/// names it may hold and the UTF-8 names every call of this library takes.
///
/// Every name the library takes or gives back (a design's path, an
/// autosave copy's, a name in a sentence) is UTF-8 text, on Windows as on
/// Linux; the library turns it into the system's own form only where it
/// calls the system. A Windows host that holds names as UTF-16 (a wide
/// main(), a file dialog, std::filesystem::path::wstring()) converts each
/// with utf8FromWide before handing it over:
///
/// @code
/// const std::string name = Zorvan::utf8FromWide(dialog.fileName());  // L"Pumpe-Größe.zvd"
/// Zorvan::DesignSave save = Zorvan::DesignSave::begin(name, {});
/// @endcode
///
/// A wide string is UTF-16 where wchar_t has 16 bits (Windows) and UTF-32
/// where it has 32 (Linux). Neither conversion depends on the locale.
///
/// Thread-safety: both functions may be called concurrently.

#include <string>
#include <string_view>

#include "FileHandling/FileHandlingExport.h"

namespace Zorvan {

/// The UTF-8 form of `wide`: L"泵站.zvd" -> "\xE6\xB3\xB5\xE7\xAB\x99.zvd".
/// Throws std::invalid_argument, saying at which unit, when `wide` holds an
/// unpaired surrogate (a name Windows allows but no UTF-8 text can carry)
/// or, as UTF-32, a value that is no Unicode character.
[[nodiscard]] SERVICES_FILEHANDLING_EXPORT std::string utf8FromWide(std::wstring_view wide);

/// The wide form of UTF-8 `utf8`, for a host that shows the library's
/// names and sentences through a wide API. Throws std::invalid_argument,
/// saying at which byte, when `utf8` is not valid UTF-8 (a cut or stray
/// sequence, an overlong form, a surrogate, a value above U+10FFFF).
[[nodiscard]] SERVICES_FILEHANDLING_EXPORT std::wstring wideFromUtf8(std::string_view utf8);

} // namespace Zorvan
