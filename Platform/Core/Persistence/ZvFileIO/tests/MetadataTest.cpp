// The metadata written on every save. What the identifier counter does
// with the values files carry is tested with the identifier service.

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/testing/MockSingleObjectInterface.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Eq;
using ::testing::SetArgReferee;
using ::testing::StrictMock;
using testing::MockSingleObjectInterface;

struct MetadataCase {
    int mode;
    const char* createdRevision;
    bool writesCreated;
    bool marksUpdated;
};

std::string name(const MetadataCase& c) {
    return "mode" + std::string(c.mode < 0 ? "Minus" : "") + std::to_string(std::abs(c.mode)) +
           (*c.createdRevision ? "WithCreatedRevision" : "");
}
void PrintTo(const MetadataCase& c, std::ostream* os) { *os << name(c); }

class WriteMetaData : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(WriteMetaData, CallsTheInterfaceInOrder) {
    const MetadataCase& c = GetParam();
    const std::string build = VersionControl().getRootRevisionAsString();
    ASSERT_FALSE(build.empty());
    auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
    {
        ::testing::InSequence order;
        EXPECT_CALL(*handle, writeDataRevision("data-7"));
        EXPECT_CALL(*handle, writeDataRevisionNumber(Eq(7)));
        if (c.writesCreated) {
            EXPECT_CALL(*handle, writeCreatedRevision(*c.createdRevision ? c.createdRevision : build));
        }
        EXPECT_CALL(*handle, writeLastSavedRevision(build));
        if (c.marksUpdated) {
            EXPECT_CALL(*handle, markUpdated());
        }
        EXPECT_CALL(*handle, writeMaxIdentifier(_, _));
    }
    EXPECT_EQ(ZvFileIO::writeMetaData(handle, "data-7", 7, static_cast<ZvFileWriteMode>(c.mode), c.createdRevision),
              build);
    EXPECT_EQ(handle.use_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteMetaData,
                         ::testing::Values(MetadataCase{0, "", true, false}, MetadataCase{0, "r0", true, false},
                                           MetadataCase{1, "r0", false, true}, MetadataCase{2, "", false, true},
                                           MetadataCase{3, "r0", false, false},
                                           MetadataCase{-1, "", false, false}),
                         [](const auto& testInfo) { return name(testInfo.param); });

TEST(Metadata, GetDataRevisionHandsOverTheCallersVariables) {
    auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
    ::testing::InSequence order;
    EXPECT_CALL(*handle, readDataRevision(Eq("keep")));
    EXPECT_CALL(*handle, readDataRevisionNumber(Eq(42))).WillOnce(SetArgReferee<0>(43));
    std::string revision = "keep";
    std::int32_t number = 42;
    ZvFileIO().getDataRevision(handle, revision, number);
    EXPECT_EQ(revision, "keep");
    EXPECT_EQ(number, 43);

    EXPECT_CALL(*handle, addGroup(Eq(0))).WillOnce(SetArgReferee<0>(5));
    ZvFileIO().createGroup(handle);
    EXPECT_EQ(handle.use_count(), 1);
}

TEST(Metadata, EmptyHandleIsABadArgument) {
    ZvFileIO io;
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
