#pragma once
// A log sink that drops every record and asks a FailAt on each.

#include "Common/testing/FailAt.h"
#include "Logging/LogSink.h"

namespace Zorvan::testing {

class FailingSink : public LogSink {
public:
    explicit FailingSink(FailAt& plan) : m_plan(plan) {}
    void write(const LogRecord&) override { m_plan.hit("log"); }

private:
    FailAt& m_plan;
};

} // namespace Zorvan::testing
