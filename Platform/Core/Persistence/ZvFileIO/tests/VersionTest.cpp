// Deciding whether a design file can be opened, and the version log line.

#include <gtest/gtest.h>

#include <stdexcept>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/testing/MockSingleObjectInterface.h"
#include "TestSupport.h"

namespace Zorvan {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
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
        EXPECT_CALL(*handle, readFileVersion(Eq(-1)))
            .Times(times)
            .WillRepeatedly(DoAll(SetArgReferee<0>(c.fileVersion), Return(c.fileReadable)));
        EXPECT_CALL(*handle, readCurrentVersion(Eq(-1)))
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
                EXPECT_STREQ(e.location().file_name(), kSourceFile);
            }
        }
        const auto records = services.log->records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].level, LogLevel::Error);
        EXPECT_EQ(records[0].message, "Error reading file version.");
        EXPECT_EQ(records[0].file, kSourceFile);
        EXPECT_EQ(records[0].logger, kSourceFile);
        EXPECT_NE(records[0].function.find("Zorvan::ZvFileIO::verifyFileVersion("), std::string::npos);
        ASSERT_EQ(services.catalogue->calls.size(), 2u);
        EXPECT_EQ(services.catalogue->calls[0].context, "ZvFileIO");
        EXPECT_TRUE(services.catalogue->calls[0].nullDisambiguation);
        EXPECT_EQ(services.catalogue->calls[0].n, -1);
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

TEST(Version, LogLineCarriesVersionAndRevisions) {
    struct Case {
        bool reads;
        const char* expected;
    };
    for (const Case c : {Case{true, "Opening file (version: 7 created with revision: r1 last saved with revision: r2)"},
                         Case{false, "Opening file (version: -1 created with revision:  last saved with revision: )"}}) {
        testing::ServiceDoubles services;
        auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
        ::testing::InSequence order;
        if (c.reads) {
            EXPECT_CALL(*handle, readFileVersion(Eq(-1))).WillOnce(DoAll(SetArgReferee<0>(7), Return(true)));
            EXPECT_CALL(*handle, readCreatedRevision(Eq(""))).WillOnce(SetArgReferee<0>("r1"));
            EXPECT_CALL(*handle, readLastSavedRevision(Eq(""))).WillOnce(SetArgReferee<0>("r2"));
        } else {
            EXPECT_CALL(*handle, readFileVersion(Eq(-1))).WillOnce(Return(false));
            EXPECT_CALL(*handle, readCreatedRevision(_));
            EXPECT_CALL(*handle, readLastSavedRevision(_));
        }
        ZvFileIO::logFileVersionInfo("ignored.zvd", handle);
        const auto records = services.log->records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, LogLevel::Info);
        EXPECT_EQ(records[0].message, c.expected);
        EXPECT_EQ(records[0].file, kSourceFile);
        EXPECT_GT(records[0].line, 0);
        EXPECT_NE(records[0].function.find("logFileVersionInfo"), std::string::npos);
        EXPECT_EQ(handle.use_count(), 1);
    }
}

} // namespace
} // namespace Zorvan
