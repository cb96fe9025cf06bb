#include <gtest/gtest.h>

#include "Logging/Logging.h"

namespace Zorvan {
namespace {

TEST(Logging, OneRecordPerCallToTheInstalledSink) {
    auto sink = std::make_shared<MemorySink>();
    {
        const ScopedLogSink installed(sink);
        const Logging logger("pump");
        logger.logINFO("opened", "a/b.cpp", "void f()", 12);
        logger.logERROR("failed", nullptr, nullptr, 13);
    }
    Logging("pump").logINFO("to the default sink", "a/b.cpp", "void f()", 14);
    const auto records = sink->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].level, LogLevel::Error);
    EXPECT_EQ(records[1].file, "");

    std::string line = StderrSink::format(records[0]);
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ(line.substr(24), " INFO [pump] opened (a/b.cpp:12, void f())");
    EXPECT_EQ(line[10], 'T');
    EXPECT_EQ(line[23], 'Z');
}

} // namespace
} // namespace Zorvan
