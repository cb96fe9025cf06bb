#include "Translation/Translator.h"

#include <utility>

#include "Common/ServiceSlot.h"

namespace Zorvan {
namespace {

internal::ServiceSlot<const Catalogue>& catalogueSlot() {
    static internal::ServiceSlot<const Catalogue> instance;
    return instance;
}

} // namespace

Catalogue::~Catalogue() = default;

std::string Translator::translate(const char* context, const char* sourceText, const char* disambiguation,
                                  int n) {
    if (sourceText == nullptr) {
        return {};
    }
    if (const std::shared_ptr<const Catalogue> catalogue = catalogueSlot().get()) {
        if (std::optional<std::string> translated = catalogue->lookup(context, sourceText, disambiguation, n)) {
            return std::move(*translated);
        }
    }
    return sourceText;
}

std::shared_ptr<const Catalogue> Translator::setCatalogue(std::shared_ptr<const Catalogue> catalogue) {
    return catalogueSlot().exchange(std::move(catalogue));
}

} // namespace Zorvan
