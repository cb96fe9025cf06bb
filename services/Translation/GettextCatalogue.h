#pragma once
/// @file
/// GettextCatalogue: translations from gettext message catalogues, the files
/// translators already produce (.po, compiled to .mo with msgfmt). A catalogue
/// is one domain's .mo files under one folder, laid out as gettext lays them
/// out: `<directory>/<language>/LC_MESSAGES/<domain>.mo`.
///
/// The key of a message is its context (msgctxt) and source text (msgid):
/// Translator::translate("DesignIO", "It is not possible ...", nullptr, -1)
/// finds the entry with msgctxt "DesignIO". gettext has one context per
/// message, so the disambiguation is not part of the key: texts that need
/// telling apart get different contexts. With n >= 0 the plural form for n
/// is looked up; an entry without plural forms then has no translation.
///
/// Translations come back in UTF-8 unless the language names another
/// encoding ("de_DE.ISO-8859-1").
///
/// Thread-safety: lookup() may be called from several threads at once.

#include <locale>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Translation/Languages.h"
#include "Translation/TranslationGettextExport.h"
#include "Translation/Translator.h"

namespace Zorvan {

class SERVICES_TRANSLATIONGETTEXT_EXPORT GettextCatalogue final : public Catalogue {
public:
    /// Loads `domain`'s catalogues under `directory` for `languages`, in order
    /// of preference ("de_AT", "de"). A language such as `"de_AT.UTF-8@euro"`
    /// falls back to de_AT, `de@euro` and de when it has no catalogue of its
    /// own. A language without any catalogue is skipped: when none has one,
    /// every lookup finds nothing. Throws std::runtime_error when a
    /// catalogue file exists but cannot be read.
    GettextCatalogue(const std::string& domain, const std::string& directory,
                     const std::vector<std::string>& languages);
    ~GettextCatalogue() override;
    GettextCatalogue(const GettextCatalogue&) = delete;
    GettextCatalogue& operator=(const GettextCatalogue&) = delete;

    /// The translation of (context, sourceText) in the first language that
    /// has one; nothing when none has. A null context or sourceText finds
    /// nothing.
    std::optional<std::string> lookup(const char* context, const char* sourceText, const char* disambiguation,
                                      int n) const override;

private:
    struct Language {
        std::locale locale;
        int domainId;
    };
    std::vector<Language> m_languages;
};

/// Installs, for the whole process, a GettextCatalogue of `domain` under
/// `directory` for languagesFromEnvironment(), and returns the catalogue it
/// replaces. Hosts call it once at start-up, e.g.
///   installGettextCatalogue("zvfileio", "/usr/share/locale");
/// Throws as the GettextCatalogue constructor; the installed catalogue then
/// stays as it was.
SERVICES_TRANSLATIONGETTEXT_EXPORT std::shared_ptr<const Catalogue>
installGettextCatalogue(const std::string& domain, const std::string& directory);

} // namespace Zorvan

/// The catalogue's factory, for a program that loads this library at run
/// time (so that a run in English does not load Boost.Locale at all) and
/// looks the function up by its name, Zorvan::kGettextCatalogueFactory.
/// Returns a new GettextCatalogue(domain, directory, languages), which the
/// caller owns: destroy it, and let Translator hold it no more, before the
/// library is unloaded. Throws as the GettextCatalogue constructor.
extern "C" SERVICES_TRANSLATIONGETTEXT_EXPORT Zorvan::Catalogue*
zvNewGettextCatalogue(const std::string& domain, const std::string& directory,
                      const std::vector<std::string>& languages);

namespace Zorvan {
/// The name and the type of zvNewGettextCatalogue, for looking it up.
inline constexpr char kGettextCatalogueFactory[] = "zvNewGettextCatalogue";
using GettextCatalogueFactory = decltype(::zvNewGettextCatalogue);
} // namespace Zorvan
