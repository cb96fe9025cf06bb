#pragma once
/// @file
/// The languages the user asks for, from the locale variables, for choosing
/// a catalogue (GettextCatalogue) or none: the system's texts are English,
/// so a user who asks for English first needs no catalogue at all.

#include <string>
#include <vector>

#include "Translation/TranslationExport.h"

namespace Zorvan {

/// The languages the user asked for, in order of preference, from the first
/// of LANGUAGE, LC_ALL, LC_MESSAGES and LANG that is set and not empty.
/// LANGUAGE may list several, separated by colons ("fr:de"). "C", "POSIX"
/// and English ("en", "en_GB.UTF-8", "en@quot": the name before any `_`,
/// `.` or `@`) stand for the untranslated source texts, which hold every
/// text: the list ends before them, so LANG=C, LANG=en_US.UTF-8 and
/// LANGUAGE=en:de yield an empty list and LANGUAGE=de:en:fr yields "de".
/// Unlike the C library, LANGUAGE counts even when the locale is "C": on a
/// bare system (no LANG) LANGUAGE=de alone selects German.
SERVICES_TRANSLATION_EXPORT std::vector<std::string> languagesFromEnvironment();

} // namespace Zorvan
