#pragma once
// A catalogue that translates nothing and asks a FailAt on every lookup.

#include "Common/testing/FailAt.h"
#include "Translation/Translator.h"

namespace Zorvan::testing {

struct FailingCatalogue : Catalogue {
    explicit FailingCatalogue(FailAt& at) : plan(at) {}
    std::optional<std::string> lookup(const char*, const char*, const char*, int) const override {
        return plan.hit("translate"), std::nullopt;
    }
    FailAt& plan;
};

} // namespace Zorvan::testing
