#pragma once
// A log sink that drops every record and asks a FaultPlan on each.

#include "Common/testing/FaultPlan.h"
#include "Logging/LogSink.h"

namespace Zorvan::testing {

class FailingSink : public LogSink {
public:
    explicit FailingSink(FaultPlan& plan) : m_plan(plan) {}
    void write(const LogRecord&) override { m_plan.hit("log"); }

private:
    FaultPlan& m_plan;
};

} // namespace Zorvan::testing
