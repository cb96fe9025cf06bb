// The save API against designs damaged on purpose: every road meets the
// damage as one refusal, Damaged, in one sentence that names the design and
// offers the salvage, and leaves the damaged file as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DesignSaveFixture.h"
#include "Serialization/testing/Damage.h"
#include "Serialization/testing/OtherProgram.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
namespace damage = testing::damage;
using testing::DesignSaveTest;

// SQLite's B-tree page kinds.
constexpr unsigned char kTableInterior = 5;
constexpr unsigned char kTableLeaf = 13;

// The last page of `kind` in `file` (an object's row lies on a leaf; the
// interior page that points at the last leaves lies near the end).
std::uint64_t lastPageOfKind(const std::string& file, unsigned char kind) {
    const std::string bytes = damage::bytesOf(file);
    const std::size_t size = damage::pageSizeOf(file);
    std::uint64_t last = 0;
    for (std::size_t at = size; at < bytes.size(); at += size) {
        last = static_cast<unsigned char>(bytes[at]) == kind ? at / size + 1 : last;
    }
    return last;
}

// A byte among the cells of page `page`, which SQLite fills from the page's
// end (before its reserved bytes) backwards: a row's payload on a leaf, a
// child's page number on an interior page.
std::uint64_t cellByte(const std::string& file, std::uint64_t page) {
    return page * damage::pageSizeOf(file) - internal::kPageChecksumBytes - 20;
}

// Each row damages a design of 2,000 objects (or its autosave copy, for the
// recovery) as a disk, a copy cut short or another program would, and each
// road that meets it is refused as Damaged with the damaged file left byte
// for byte as it was; a design written before checksums opens as it always
// did, and its next rewrite gives it checksums.
TEST_F(DesignSaveTest, EveryRoadRefusesADamagedDesignAsDamagedAndLeavesItAsItIs) {
    enum Road { Open, Edit, Rewrite, Update, Autosave, Recover };
    using Damage = std::function<void(const std::string& file)>;
    struct Case {
        const char* what;
        Damage damage;
        std::optional<DesignRefusal> reason = DesignRefusal::Damaged; // none: every road succeeds
        std::vector<Road> roads = {Open, Edit, Rewrite, Update, Autosave, Recover};
        bool old = false; // a design written before checksums
    };
    const auto flipAt = [](std::function<std::uint64_t(const std::string&)> where) -> Damage {
        return [where](const std::string& file) { damage::flipBit(file, where(file)); };
    };
    const auto stock = [&](const std::string& sql, bool asOurs) -> Damage {
        return [sql, asOurs](const std::string& file) {
            EXPECT_EQ(testing::OtherProgram(file).run(sql), "-");
            if (asOurs) {
                damage::restampChecksums(file); // lost by a program that keeps the checksums
            }
        };
    };
    // The last object's payload, "old" after its type: "old" becomes "nld".
    const Damage payloadBit = flipAt([](const std::string& f) { return damage::bytesOf(f).rfind("Pipeold") + 4; });
    const std::vector<Case> cases = {
        {"a flipped bit in an object's payload", payloadBit},
        {"a flipped bit in a B-tree interior page",
         flipAt([](const std::string& f) { return cellByte(f, lastPageOfKind(f, kTableInterior)); })},
        {"a flipped bit in the header's page size, which SQLite cannot read", flipAt([](const std::string&) { return 17; })},
        {"a flipped bit in the header's user version, which only the checksum notices",
         flipAt([](const std::string&) { return 63; })},
        {"a zeroed page", [](const std::string& f) { damage::zeroPage(f, lastPageOfKind(f, kTableLeaf)); }},
        {"a file cut to two thirds",
         [](const std::string& f) { damage::cutTo(f, fs::file_size(f) * 2 / 3 / 4096 * 4096); }},
        // A page copied whole keeps a checksum that holds: the roads that
        // walk the objects meet identities out of order.
        {"a page of another design of this software copied over a leaf",
         [&](const std::string& f) {
             saveDesign("other.zvd", 2000, "other");
             damage::copyPage(path("other.zvd"), f, lastPageOfKind(f, kTableLeaf) - 3);
             fs::remove(path("other.zvd"));
         },
         DesignRefusal::Damaged, {Open, Recover}},
        {"the metadata row lost", stock("DELETE FROM zv_metadata", /*asOurs=*/true)},
        {"an object changed by a stock SQLite program",
         stock("UPDATE zv_objects SET payload = 'changed' WHERE id = (SELECT max(id) FROM zv_objects)", false)},
        {"a design written before checksums opens as it always did", {}, std::nullopt, {Open, Edit, Update, Rewrite},
         true},
        {"and a flipped bit in its payload goes unnoticed", payloadBit, std::nullopt, {Open, Autosave}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const Road road : c.roads) {
            SCOPED_TRACE("road " + std::to_string(road));
            folder.clear();
            if (c.old) {
                damage::emptyDatabaseWithoutChecksums(path("a.zvd"));
                SqliteDesignStore::openForWriting(path("a.zvd"))->commit();
            }
            saveDesign("a.zvd", 2000, "old", options(c.old ? Mode::UpdateAll : Mode::Overwrite));
            const std::string damaged = path(road == Recover ? "a.bak.zvd" : "a.zvd");
            if (road == Recover) {
                saveDesign("a.zvd", 2000, "copy", options(), /*autosave=*/true); // a session's crashed copy
            }
            if (c.damage) {
                c.damage(damaged);
            }
            const auto before = files();
            const std::function<void()> run = [&] {
                switch (road) {
                case Open: {
                    const OpenedDesign opened = openDesign(path("a.zvd"));
                    opened.requireReadable();
                    opened.forEachObject([](const SerializationTransferObject&) { return true; }); // as a host loads it
                    break;
                }
                case Edit:
                    (void)EditSession::open(path("a.zvd"), {.recover = false});
                    break;
                case Rewrite:
                case Update: {
                    DesignSave save = DesignSave::begin(path("a.zvd"), options(road == Rewrite ? Mode::Overwrite
                                                                                                : Mode::UpdateSelected));
                    save.part().save({Identifier::create().number, "Pipe", "new"});
                    (void)save.commit("new", 1);
                    break;
                }
                case Autosave:
                    (void)writeAutosaveCopy(path("a.zvd"), options());
                    break;
                case Recover:
                    (void)DesignSave::recoverAutosave(path("a.zvd"), options());
                    break;
                }
            };
            if (c.reason) {
                expectRefused(run, *c.reason, path("a.zvd"), "it is damaged");
                EXPECT_THAT(endingOf(run).said, ::testing::HasSubstr("can be salvaged"));
                EXPECT_EQ(files(), before) << "the damaged file and its folder are left as they were";
                continue;
            }
            const Ending ended = endingOf(run);
            EXPECT_EQ(ended.kind, Ending::Done) << ended.said;
            const unsigned char reserved = static_cast<unsigned char>(damage::bytesOf(path("a.zvd"))[20]);
            EXPECT_EQ(reserved, road == Rewrite ? internal::kPageChecksumBytes : 0U) << "checksums from its rewrite on";
        }
    }
}

} // namespace
} // namespace Zorvan
