#pragma once
// A catalogue that translates nothing and asks a FaultPlan on every lookup.

#include "Common/testing/FaultPlan.h"
#include "Translation/Translator.h"

namespace Zorvan::testing {

class FailingCatalogue : public Catalogue {
public:
    explicit FailingCatalogue(FaultPlan& plan) : m_plan(plan) {}
    std::optional<std::string> lookup(const char*, const char*, const char*, int) const override {
        m_plan.hit("translate");
        return std::nullopt;
    }

private:
    FaultPlan& m_plan;
};

} // namespace Zorvan::testing
