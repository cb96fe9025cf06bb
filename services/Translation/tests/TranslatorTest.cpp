#include <gtest/gtest.h>

#include "Translation/Translator.h"

namespace Zorvan {
namespace {

class GermanCatalogue : public Catalogue {
public:
    std::optional<std::string> lookup(const char* context, const char* sourceText, const char* disambiguation,
                                      int n) const override {
        seen = std::string(context) + "|" + sourceText + "|" + (disambiguation ? disambiguation : "null") + "|" +
               std::to_string(n);
        if (std::string(sourceText) == "Save") {
            return "Speichern";
        }
        return std::nullopt;
    }
    mutable std::string seen;
};

TEST(Translator, UsesTheCatalogueAndFallsBackToTheSourceText) {
    EXPECT_EQ(Translator::translate("Ctx", "Save", nullptr, -1), "Save");
    auto catalogue = std::make_shared<GermanCatalogue>();
    const auto previous = Translator::setCatalogue(catalogue);
    EXPECT_EQ(Translator::translate("Ctx", "Save", "verb", 2), "Speichern");
    EXPECT_EQ(catalogue->seen, "Ctx|Save|verb|2");
    EXPECT_EQ(Translator::translate("Ctx", "Open", nullptr, -1), "Open");
    EXPECT_EQ(catalogue->seen, "Ctx|Open|null|-1");
    EXPECT_EQ(Translator::translate("Ctx", nullptr, nullptr, -1), "");
    Translator::setCatalogue(previous);
    EXPECT_EQ(Translator::translate("Ctx", "Save", nullptr, -1), "Save");
}

} // namespace
} // namespace Zorvan
