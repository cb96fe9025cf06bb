// The metadata written on every save. What the identifier counter does
// with the values files carry is tested with the identifier service.

#include <gtest/gtest.h>

#include <tuple>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan {
namespace {

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
