#pragma once
// A catalogue that translates nothing and asks a FailAt on every lookup.

#include "Common/testing/FailAt.h"
#include "Translation/Translator.h"

namespace Zorvan::testing {

class FailingCatalogue : public Catalogue {
public:
    explicit FailingCatalogue(FailAt& plan) : m_plan(plan) {}
    std::optional<std::string> lookup(const char*, const char*, const char*, int) const override {
        m_plan.hit("translate");
        return std::nullopt;
    }

private:
    FailAt& m_plan;
};

} // namespace Zorvan::testing
