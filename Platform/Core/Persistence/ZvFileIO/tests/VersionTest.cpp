// Deciding whether a design file can be opened, the version log line, and
// an empty handle refused by every operation.

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
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgReferee;
using testing::MockSingleObjectInterface;

// A file newer than the software, or of a version below any, is refused;
// an older one is readable, the same one current. A version that cannot be
// read, the file's or the software's, is an exception, logged and
// translated. Either way the handle and the progress are let go.
TEST(Version, DecidesFromTheFilesVersionAndTheSoftwares) {
    enum Outcome { Refused, Readable, Current, Throws };
    struct Case {
        const char* name;
        bool fileReadable;
        int fileVersion;
        bool currentReadable;
        int currentVersion;
        Outcome outcome;
    };
    const Case cases[] = {
        {"older", true, 3, true, 5, Readable},          {"same", true, 5, true, 5, Current},
        {"zero", true, 0, true, 0, Current},            {"newer", true, 6, true, 5, Refused},
        {"negative", true, -1, true, 5, Refused},       {"negative both", true, -3, true, -3, Refused},
        {"file unreadable", false, 3, true, 5, Throws}, {"current unreadable", true, 3, false, 5, Throws},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::ServiceDoubles services;
        auto handle = std::make_shared<NiceMock<MockSingleObjectInterface>>();
        ON_CALL(*handle, readFileVersion(_))
            .WillByDefault(DoAll(SetArgReferee<0>(c.fileVersion), Return(c.fileReadable)));
        ON_CALL(*handle, readCurrentVersion(_))
            .WillByDefault(DoAll(SetArgReferee<0>(c.currentVersion), Return(c.currentReadable)));
        auto progress = std::make_shared<Progress>();
        const ZvFileIO io;
        if (c.outcome == Throws) {
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
            EXPECT_EQ(services.catalogue->calls.size(), 2u);
        } else {
            EXPECT_EQ(io.verifyZVVersion(handle, progress), c.outcome != Refused);
            EXPECT_EQ(io.isCurrentZVVersion(handle), c.outcome == Current);
            EXPECT_TRUE(services.log->records().empty());
        }
        EXPECT_EQ(handle.use_count(), 1);
        EXPECT_EQ(progress.use_count(), 1);
    }
}

// A file whose version cannot be read is logged with -1 and empty revisions.
TEST(Version, LogLineCarriesVersionAndRevisions) {
    auto readable = std::make_shared<MemoryDesignStore>();
    readable->fileVersion = 7;
    readable->createdRevision = "r1";
    readable->lastSavedRevision = "r2";
    auto unreadable = std::make_shared<NiceMock<MockSingleObjectInterface>>();
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
        EXPECT_EQ(handle.use_count(), 2) << "the log line keeps no share";
    }
}

// Opening an empty handle is refused as a file whose version cannot be
// read, logged, and its log line is left out; everything else is a bad
// argument.
TEST(Version, AnEmptyHandleIsRefusedByEveryOperation) {
    testing::ServiceDoubles services;
    ZvFileIO io;
    EXPECT_THROW((void)io.verifyZVVersion(nullptr, nullptr), FileOpenException);
    EXPECT_THROW((void)io.isCurrentZVVersion(nullptr), ZvException);
    EXPECT_EQ(services.log->records().size(), 2u);
    ZvFileIO::logFileVersionInfo("a.zvd", nullptr);
    EXPECT_EQ(services.log->records().size(), 2u);
    std::string revision;
    std::int32_t number = 0;
    EXPECT_THROW(ZvFileIO::writeMetaData(nullptr, "", 0, ZvFileWriteMode::Overwrite, ""), std::invalid_argument);
    EXPECT_THROW(io.getDataRevision(nullptr, revision, number), std::invalid_argument);
    EXPECT_THROW(io.createGroup(nullptr), std::invalid_argument);
    EXPECT_THROW(ZvFileIO::readMaxIdentifierValue(nullptr), std::invalid_argument);
    EXPECT_THROW(ZvFileIO::updateMaxIdentifierValue(nullptr), std::invalid_argument);
}

} // namespace
} // namespace Zorvan
