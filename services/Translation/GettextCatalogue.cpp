#include "Translation/GettextCatalogue.h"

#include <boost/locale/generator.hpp>
#include <boost/locale/message.hpp>

namespace Zorvan {
namespace {

using MessageFacet = boost::locale::message_format<char>;

// Boost.Locale needs an encoding to convert the catalogue's text to; the
// system's texts are UTF-8, so that is what a bare language gets:
// "de_AT" -> "de_AT.UTF-8", "de@euro" -> "de.UTF-8@euro".
std::string withEncoding(const std::string& language) {
    if (language.find('.') != std::string::npos) {
        return language;
    }
    const auto modifier = language.find('@');
    if (modifier == std::string::npos) {
        return language + ".UTF-8";
    }
    return language.substr(0, modifier) + ".UTF-8" + language.substr(modifier);
}

} // namespace

GettextCatalogue::GettextCatalogue(const std::string& domain, const std::string& directory,
                                   const std::vector<std::string>& languages) {
    boost::locale::generator generator;
    // Only the messages are wanted; the other facets would cost start-up
    // time and could fail for languages the system has no locale data for.
    generator.categories(boost::locale::message_facet);
    generator.add_messages_path(directory);
    generator.add_messages_domain(domain);
    for (const std::string& language : languages) {
        std::locale locale = generator(withEncoding(language));
        const int domainId = std::use_facet<MessageFacet>(locale).domain(domain);
        m_languages.push_back({std::move(locale), domainId});
    }
}

GettextCatalogue::~GettextCatalogue() = default;

std::optional<std::string> GettextCatalogue::lookup(const char* context, const char* sourceText,
                                                    const char* /*disambiguation*/, int n) const {
    if (context == nullptr || sourceText == nullptr) {
        return std::nullopt;
    }
    for (const Language& language : m_languages) {
        const MessageFacet& messages = std::use_facet<MessageFacet>(language.locale);
        const char* translated = n < 0 ? messages.get(language.domainId, context, sourceText)
                                       : messages.get(language.domainId, context, sourceText, n);
        if (translated != nullptr) {
            return std::string(translated);
        }
    }
    return std::nullopt;
}

std::shared_ptr<const Catalogue> installGettextCatalogue(const std::string& domain, const std::string& directory) {
    return Translator::setCatalogue(
        std::make_shared<const GettextCatalogue>(domain, directory, languagesFromEnvironment()));
}

} // namespace Zorvan

Zorvan::Catalogue* zvNewGettextCatalogue(const std::string& domain, const std::string& directory,
                                         const std::vector<std::string>& languages) {
    return new Zorvan::GettextCatalogue(domain, directory, languages);
}
