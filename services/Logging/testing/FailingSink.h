#pragma once
// A log sink that drops every record and asks a FailAt on each.

#include "Common/testing/FailAt.h"
#include "Logging/LogSink.h"

namespace Zorvan::testing {

struct FailingSink : LogSink {
    explicit FailingSink(FailAt& at) : plan(at) {}
    void write(const LogRecord&) override { plan.hit("log"); }
    FailAt& plan;
};

} // namespace Zorvan::testing
