// Deciding whether a design file can be opened, and the version log line.

#include <gtest/gtest.h>

#include <stdexcept>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#include "Serialization/testing/MockSingleObjectInterface.h"
#include "TestSupport.h"

namespace Zorvan {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::StrictMock;
using testing::MockSingleObjectInterface;

constexpr const char* kSourceFile = "Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp";

struct VersionCase {
    const char* name;
    bool fileReadable;
    int fileVersion;
    bool currentReadable;
    int currentVersion;
    enum { Refused, Readable, Current, Throws } outcome;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

class VersionDecision : public ::testing::TestWithParam<VersionCase> {
protected:
    // A mock that answers the two version reads as the case says; readCurrentVersion
    // is expected only when the file's version was read.
    std::shared_ptr<StrictMock<MockSingleObjectInterface>> makeHandle(int times) const {
        const VersionCase& c = GetParam();
        auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
        EXPECT_CALL(*handle, readFileVersion(_))
            .Times(times)
            .WillRepeatedly(DoAll(SetArgReferee<0>(c.fileVersion), Return(c.fileReadable)));
        EXPECT_CALL(*handle, readCurrentVersion(_))
            .Times(c.fileReadable ? times : 0)
            .WillRepeatedly(DoAll(SetArgReferee<0>(c.currentVersion), Return(c.currentReadable)));
        return handle;
    }

    testing::ServiceDoubles services;
};

TEST_P(VersionDecision, DecidesAndReleasesTheHandle) {
    const VersionCase& c = GetParam();
    auto handle = makeHandle(2);
    auto progress = std::make_shared<Progress>();
    const ZvFileIO io;
    if (c.outcome == VersionCase::Throws) {
        for (int call = 0; call < 2; ++call) {
            try {
                call == 0 ? io.verifyZVVersion(handle, progress) : io.isCurrentZVVersion(handle);
                ADD_FAILURE() << "no exception";
            } catch (const FileOpenException& e) {
                EXPECT_EQ(e.getType(), FileOpenException::Type::VersionUnreadable);
                EXPECT_STREQ(e.what(), "ZvFileIO: Error reading file version.");
            }
        }
        const auto records = services.log->records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].level, LogLevel::Error);
        EXPECT_EQ(records[0].message, "Error reading file version.");
        EXPECT_EQ(std::tie(records[0].file, records[0].logger), std::tie(kSourceFile, kSourceFile));
        EXPECT_EQ(services.catalogue->calls.size(), 2u);
    } else {
        EXPECT_EQ(io.verifyZVVersion(handle, progress), c.outcome != VersionCase::Refused);
        EXPECT_EQ(io.isCurrentZVVersion(handle), c.outcome == VersionCase::Current);
        EXPECT_TRUE(services.log->records().empty());
    }
    EXPECT_EQ(handle.use_count(), 1);
    EXPECT_EQ(progress.use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionDecision,
    ::testing::Values(VersionCase{"Older", true, 3, true, 5, VersionCase::Readable},
                      VersionCase{"Same", true, 5, true, 5, VersionCase::Current},
                      VersionCase{"Zero", true, 0, true, 0, VersionCase::Current},
                      VersionCase{"Newer", true, 6, true, 5, VersionCase::Refused},
                      VersionCase{"Negative", true, -1, true, 5, VersionCase::Refused},
                      VersionCase{"NegativeBoth", true, -3, true, -3, VersionCase::Refused},
                      VersionCase{"FileUnreadable", false, 3, true, 5, VersionCase::Throws},
                      VersionCase{"CurrentUnreadable", true, 3, false, 5, VersionCase::Throws}),
    [](const auto& testInfo) { return testInfo.param.name; });

TEST(Version, EmptyHandleIsRefusedWithTheLoggedException) {
    testing::ServiceDoubles services;
    const ZvFileIO io;
    EXPECT_THROW((void)io.verifyZVVersion(nullptr, nullptr), FileOpenException);
    EXPECT_THROW((void)io.isCurrentZVVersion(nullptr), ZvException);
    EXPECT_EQ(services.log->records().size(), 2u);
    ZvFileIO::logFileVersionInfo("a.zvd", nullptr);
    EXPECT_EQ(services.log->records().size(), 2u);
}

// A file whose version cannot be read is logged with -1 and empty revisions.
TEST(Version, LogLineCarriesVersionAndRevisions) {
    auto readable = std::make_shared<MemoryDesignStore>();
    readable->fileVersion = 7;
    readable->createdRevision = "r1";
    readable->lastSavedRevision = "r2";
    auto unreadable = std::make_shared<::testing::NiceMock<MockSingleObjectInterface>>();
    ON_CALL(*unreadable, readFileVersion(_)).WillByDefault(Return(false));
    const std::pair<SerializationHandle, const char*> cases[] = {
        {readable, "Opening file (version: 7 created with revision: r1 last saved with revision: r2)"},
        {unreadable, "Opening file (version: -1 created with revision:  last saved with revision: )"}};
    for (const auto& [handle, expected] : cases) {
        testing::ServiceDoubles services;
        ZvFileIO::logFileVersionInfo("ignored.zvd", handle);
        const auto records = services.log->records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, LogLevel::Info);
        EXPECT_EQ(records[0].message, expected);
        EXPECT_EQ(records[0].file, kSourceFile);
        EXPECT_EQ(handle.use_count(), 2) << "the log line keeps no share";
    }
}

} // namespace
} // namespace Zorvan
