// What the library reads and writes in a design's metadata: whether a
// design file can be opened, the version log line, what a save writes, and
// an empty handle refused by every operation. What the identifier counter
// does with the values files carry is tested with the identifier service.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#include "Serialization/testing/MockSingleObjectInterface.h"
#include "Logging/Logging.h"
#include "Translation/Translator.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan {
namespace {

using ::testing::_;
using ::testing::NiceMock;
using ::testing::SetArgReferee;
using testing::MockSingleObjectInterface;

// Counts the lookups and translates "x" in context "c" to "c: x".
class CountingCatalogue : public Catalogue {
public:
    std::optional<std::string> lookup(const char* context, const char* sourceText, const char*, int) const override {
        ++lookups;
        return std::string(context) + ": " + sourceText;
    }
    mutable std::size_t lookups = 0;
};

// Installs a CountingCatalogue and a MemorySink for one test.
struct ServiceDoubles {
    const std::shared_ptr<CountingCatalogue> catalogue = std::make_shared<CountingCatalogue>();
    const std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();
    const std::shared_ptr<const Catalogue> previous = Translator::setCatalogue(catalogue);
    const ScopedLogSink sink{log};
    ~ServiceDoubles() { Translator::setCatalogue(previous); }
};

// A file newer than the software, or of a version below any, is refused;
// an older one is readable, the same one current. A version that cannot be
// read, the file's or the software's, is an exception, logged and
// translated. The line logged on opening a file gives its version (-1 when
// it cannot be read) and revisions. The handle and the progress are let go.
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
        ServiceDoubles services;
        auto handle = std::make_shared<NiceMock<MockSingleObjectInterface>>();
        const auto answer = [](bool readable, int value) {
            return [=](std::int32_t& version) {
                version = readable ? value : version;
                return readable;
            };
        };
        ON_CALL(*handle, readFileVersion(_)).WillByDefault(answer(c.fileReadable, c.fileVersion));
        ON_CALL(*handle, readCurrentVersion(_)).WillByDefault(answer(c.currentReadable, c.currentVersion));
        ON_CALL(*handle, readCreatedRevision(_)).WillByDefault(SetArgReferee<0>("r1"));
        ON_CALL(*handle, readLastSavedRevision(_)).WillByDefault(SetArgReferee<0>("r2"));
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
            EXPECT_EQ(services.catalogue->lookups, 2u);
        } else {
            EXPECT_EQ(io.verifyZVVersion(handle, progress), c.outcome != Refused);
            EXPECT_EQ(io.isCurrentZVVersion(handle), c.outcome == Current);
            EXPECT_TRUE(services.log->records().empty());
        }
        services.log->clear();
        ZvFileIO::logFileVersionInfo("ignored.zvd", handle);
        const auto records = services.log->records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, LogLevel::Info);
        EXPECT_EQ(records[0].message, "Opening file (version: " + std::to_string(c.fileReadable ? c.fileVersion : -1) +
                                          " created with revision: r1 last saved with revision: r2)");
        EXPECT_EQ(handle.use_count(), 1);
        EXPECT_EQ(progress.use_count(), 1);
    }
}

// Opening an empty handle is refused as a file whose version cannot be
// read, logged, and its log line is left out; everything else is a bad
// argument.
TEST(Version, AnEmptyHandleIsRefusedByEveryOperation) {
    ServiceDoubles services;
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

// What a save writes, per mode: the data revision always; who created the
// file (kept when given) for a rewrite alone; who saved it last always; one
// more update for an update in place; the identifier counter as it stands.
TEST(Metadata, ASaveWritesWhatItsModeSays) {
    const std::string build = VersionControl().getRootRevisionAsString();
    ASSERT_FALSE(build.empty());
    struct Case {
        int mode;
        const char* given; // the created revision the caller passes
        std::string created;
        int updates;
    };
    for (const Case& c : {Case{0, "", build, 0}, Case{0, "r0", "r0", 0}, Case{1, "r0", "before", 1},
                          Case{2, "", "before", 1}, Case{3, "r0", "before", 0}, Case{-1, "", "before", 0}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " given '" + c.given + "'");
        auto store = std::make_shared<MemoryDesignStore>();
        store->createdRevision = "before";
        const std::int64_t last = Identifier::create().number;
        EXPECT_EQ(ZvFileIO::writeMetaData(store, "data-7", 7, static_cast<ZvFileWriteMode>(c.mode), c.given), build);
        EXPECT_EQ(std::tie(store->dataRevision, store->dataRevisionNumber, store->createdRevision,
                           store->lastSavedRevision, store->updateMarks, store->maxIdentifierNumber),
                  std::make_tuple(std::string("data-7"), 7, c.created, build, c.updates, last + 1));
        // What the host reads back, and a group it adds.
        std::string revision;
        std::int32_t number = 0;
        ZvFileIO().getDataRevision(store, revision, number);
        ZvFileIO().createGroup(store);
        EXPECT_EQ(std::tie(revision, number, store->groups), std::make_tuple(std::string("data-7"), 7, 1));
        EXPECT_EQ(store.use_count(), 1);
    }
}

} // namespace
} // namespace Zorvan
