#pragma once
// A FakeFileSystem whose every operation first asks a FaultPlan, so a test
// can make any call fail (replaceFile answers false when told to).

#include "Common/testing/FaultPlan.h"
#include "FileHandling/testing/FakeFileSystem.h"

namespace Zorvan::testing {

class FailingFileSystem : public FakeFileSystem {
public:
    explicit FailingFileSystem(FaultPlan& plan) : m_plan(plan) {}
    bool exists(const FileName& n, bool f) override { return m_plan.hit("exists"), FakeFileSystem::exists(n, f); }
    bool isReadOnly(const FileName& n) override { return m_plan.hit("isReadOnly"), FakeFileSystem::isReadOnly(n); }
    void remove(const FileName& n) override { m_plan.hit("remove"), FakeFileSystem::remove(n); }
    bool replaceFile(const FileName& s, const FileName& d) override {
        return !m_plan.hit("replaceFile") && FakeFileSystem::replaceFile(s, d);
    }

private:
    FaultPlan& m_plan;
};

} // namespace Zorvan::testing
