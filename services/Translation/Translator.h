#pragma once
/// @file
/// Translator: turns the system's English source texts into the user's
/// language through a replaceable catalogue. With no catalogue installed, or
/// when the catalogue has no entry, the source text comes back unchanged.
///
/// Thread-safety: translate() and setCatalogue() may be called concurrently.

#include <memory>
#include <optional>
#include <string>

#include "Translation/TranslationExport.h"

/// Marks a source text where it is written down but translated later, by a
/// translate() call with the same context, so that the text extraction for
/// the message catalogues finds it: ZV_TRANSLATE_NOOP("DesignIO", "text")
/// is just "text".
#define ZV_TRANSLATE_NOOP(context, sourceText) sourceText

namespace Zorvan {

/// A source of translations. lookup() receives exactly what translate() was
/// given; it returns nothing when it has no translation for the text.
class SERVICES_TRANSLATION_EXPORT Catalogue {
public:
    virtual ~Catalogue();
    virtual std::optional<std::string> lookup(const char* context, const char* sourceText,
                                              const char* disambiguation, int n) const = 0;
};

class SERVICES_TRANSLATION_EXPORT Translator {
public:
    /// The translation of `sourceText` in `context`; `disambiguation` (may be
    /// null) tells apart equal texts of different meaning, `n` selects a
    /// plural form (-1: none). A null sourceText yields empty text.
    static std::string translate(const char* context, const char* sourceText, const char* disambiguation,
                                 int n);

    /// Installs `catalogue` (null: none) and returns the one it replaces.
    static std::shared_ptr<const Catalogue> setCatalogue(std::shared_ptr<const Catalogue> catalogue);
};

} // namespace Zorvan
