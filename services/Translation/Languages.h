#pragma once
/// @file
/// The languages the user asks for, from the locale variables, for choosing
/// a catalogue (GettextCatalogue) or none: the system's texts are English,
/// so a user who asks for English first needs no catalogue at all.

#include <string>
#include <vector>

#include "Translation/TranslationExport.h"

namespace Zorvan {

/// The languages the user asked for, in order of preference, by the C
/// library's rules for messages: the locale of messages is the first of
/// LC_ALL, LC_MESSAGES and LANG that is set and not empty; when there is
/// none, or it is "C" or "POSIX" (also "C.UTF-8"), the list is empty and
/// LANGUAGE is not looked at, so LC_ALL=C gives the source texts. Otherwise
/// LANGUAGE, when set, lists the languages separated by colons ("fr:de"),
/// and else the locale is the one language. "C", "POSIX" and English ("en",
/// "en_GB.UTF-8", "en@quot": the name before any `_`, `.` or `@`) stand
/// for the untranslated source texts, which hold every text: the list ends
/// before them, so LANG=en_US.UTF-8 and LANGUAGE=en:de yield an empty list
/// and LANGUAGE=de:en:fr yields "de".
///
/// On Windows, when none of LC_ALL, LC_MESSAGES and LANG is set, the
/// languages the user chose for Windows' own texts (as
/// GetUserPreferredUILanguages lists them, "de-DE" read as "de_DE") stand
/// where the locale would: English first gives the source texts, and
/// otherwise LANGUAGE, when set, lists the languages, else Windows' list
/// does. A locale variable that is set overrides Windows' choice as above.
SERVICES_TRANSLATION_EXPORT std::vector<std::string> languagesFromEnvironment();

} // namespace Zorvan
