#include <gmock/gmock.h>

#include <string>

#include "Logging/Logging.h"

namespace Zorvan {
namespace {

TEST(Logging, OneRecordPerCallToTheInstalledSinkAndNothingByDefault) {
    auto sink = std::make_shared<MemorySink>();
    {
        const ScopedLogSink installed(sink);
        const Logging logger("pump");
        logger.logINFO("opened", "a/b.cpp", "void f()", 12);
        logger.logERROR("failed", nullptr, nullptr, 13);
    }
    // The default sink writes nothing on standard error, errors neither.
    ::testing::internal::CaptureStderr();
    Logging("pump").logINFO("to the default sink", "a/b.cpp", "void f()", 14);
    Logging("pump").logERROR("an error", "a/b.cpp", "void f()", 15);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const auto records = sink->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].level, LogLevel::Error);
    EXPECT_EQ(records[1].file, "");

    const std::string line = StderrSink::format(records[0]);
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ(line.substr(24), " INFO [pump] opened (a/b.cpp:12, void f())");
    EXPECT_EQ(line.substr(10, 1) + line.substr(23, 1), "TZ"); // after the time, as 2026-05-04T10:11:12.345Z
}

} // namespace
} // namespace Zorvan
