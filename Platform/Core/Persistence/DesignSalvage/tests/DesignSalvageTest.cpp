// Salvage over designs damaged on purpose, one row per kind of damage:
// what comes back against what lay on intact pages and against SQLite's
// recover extension run on its own, what the report says, and the damaged
// file left byte for byte as it was.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sqlite3recover.h"

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "FileHandling/testing/TempFolder.h"
#include "Serialization/testing/Damage.h"
#include "Platform/Core/Persistence/DesignSalvage/DesignSalvage.h"

extern "C" int sqlite3_dbdata_init(sqlite3* db, char** error, const sqlite3_api_routines* api);

namespace Zorvan {
namespace {

namespace damage = testing::damage;
using ::testing::IsSubsetOf;

constexpr std::size_t kObjects = 600;
constexpr std::int64_t kFirstId = 1000;

// A payload of some 200 bytes that names its object and its design.
std::string payloadOf(std::int64_t id, const std::string& design) {
    std::string payload = design + "-" + std::to_string(id) + ":";
    payload.resize(200, static_cast<char>('a' + id % 26));
    return payload;
}

void writeDesign(const std::string& file, const std::string& design) {
    DesignSave save = DesignSave::begin(file, {});
    save.createGroup();
    DesignPart part = save.part();
    for (std::int64_t id = kFirstId; id < kFirstId + static_cast<std::int64_t>(kObjects); ++id) {
        part.save(SerializationTransferObject(id, id % 2 == 0 ? "pipe" : "valve", payloadOf(id, design)));
    }
    (void)save.commit("valve fix", 7);
}

sqlite3* openImmutable(const std::string& file) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(("file:" + file + "?immutable=1").c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    return db;
}

// The number the query `sql` gives of `file`.
std::int64_t numberOf(const std::string& file, const char* sql) {
    sqlite3* db = openImmutable(file);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &query, nullptr);
    const std::int64_t number = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
    sqlite3_finalize(query);
    sqlite3_close(db);
    return number;
}

// The identities of the objects on each table leaf page of an intact design.
std::map<std::size_t, std::vector<std::int64_t>> objectsByPage(const std::string& file) {
    sqlite3* db = openImmutable(file);
    sqlite3_dbdata_init(db, nullptr, nullptr);
    sqlite3_stmt* cells = nullptr;
    sqlite3_prepare_v2(db, "SELECT pgno, max(field), min(CASE field WHEN -1 THEN value END) FROM sqlite_dbdata "
                           "GROUP BY pgno, cell", -1, &cells, nullptr);
    std::map<std::size_t, std::vector<std::int64_t>> pages;
    while (sqlite3_step(cells) == SQLITE_ROW) {
        if (sqlite3_column_int(cells, 1) == 2) { // id, type, payload
            pages[static_cast<std::size_t>(sqlite3_column_int64(cells, 0))].push_back(sqlite3_column_int64(cells, 2));
        }
    }
    sqlite3_finalize(cells);
    sqlite3_close(db);
    return pages;
}

// SQLite's recover extension on its own, as its documentation runs it: the
// objects it rebuilds into a new database.
std::int64_t referenceRecovery(const std::string& file, const std::string& out) {
    sqlite3* db = openImmutable(file);
    sqlite3_recover* recovery = sqlite3_recover_init(db, "main", out.c_str());
    sqlite3_recover_run(recovery);
    sqlite3_recover_finish(recovery);
    sqlite3_close(db);
    return numberOf(out, "SELECT count(*) FROM zv_objects");
}

using Pages = std::set<std::size_t>;

// An intact design about to be damaged: its leaf pages (in page order) and
// the root page of its objects.
struct Layout {
    std::string file;
    std::string other; // an intact design of the same software, other payloads
    std::vector<std::size_t> leaves;
    std::size_t root = 0;
    std::size_t pageSize = 0;
    std::size_t middleLeaf() const { return leaves[leaves.size() / 2]; }
};

struct Case {
    const char* name;
    // Damages layout.file; returns the pages damaged (a page cut off is
    // damaged without being named).
    std::function<Pages(const Layout&)> damageIt;
    // The page whose checksum fails while SQLite reads it as it is (0: none).
    std::function<std::size_t(const Layout&)> unsoundPage = [](const Layout&) { return std::size_t{0}; };
    bool metadataReadable = true;
    bool duplicates = false;
};

const Case kCases[] = {
    {"undamaged", [](const Layout&) { return Pages{}; }},
    {"payload bit",
     [](const Layout& l) {
         damage::flipBit(l.file, damage::find(l.file, "design-1300:") + 40, 3);
         return Pages{}; // SQLite cannot tell: every object comes back
     },
     [](const Layout& l) { return damage::find(l.file, "design-1300:") / l.pageSize + 1; }},
    {"b-tree page",
     [](const Layout& l) {
         damage::flipBit(l.file, (l.root - 1) * l.pageSize, 1); // not a page type
         return Pages{l.root};
     }},
    {"header",
     [](const Layout& l) {
         damage::flipBit(l.file, 0, 0); // "RQLite format 3"
         return Pages{1};
     }},
    {"zeroed page",
     [](const Layout& l) {
         damage::zeroPage(l.file, l.middleLeaf());
         return Pages{l.middleLeaf()};
     }},
    {"truncated",
     [](const Layout& l) {
         std::filesystem::resize_file(damage::pathOf(l.file), damage::bytesOf(l.file).size() * 2 / 3);
         return Pages{};
     }},
    {"page of another design",
     [](const Layout& l) {
         damage::copyPage(l.other, l.leaves.front(), l.file, l.middleLeaf());
         return Pages{l.middleLeaf()};
     },
     [](const Layout&) { return std::size_t{0}; }, true, true},
    {"metadata row lost",
     [](const Layout& l) {
         damage::zeroPage(l.file, 2); // the metadata table's one page
         return Pages{2};
     },
     [](const Layout&) { return std::size_t{0}; }, false},
};

// A row is named by its damage in test output.
void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }

class SalvageDamaged : public ::testing::TestWithParam<Case> {};

TEST_P(SalvageDamaged, BringsBackEveryObjectOfAnIntactPageAndLeavesTheFile) {
    const Case& row = GetParam();
    const testing::TempFolder folder;
    Layout layout;
    layout.file = folder.path("design.zvd");
    layout.other = folder.path("other.zvd");
    writeDesign(layout.file, "design");
    writeDesign(layout.other, "other");
    const std::map<std::size_t, std::vector<std::int64_t>> pages = objectsByPage(layout.file);
    for (const auto& [page, ids] : pages) {
        layout.leaves.push_back(page);
    }
    layout.root =
        static_cast<std::size_t>(numberOf(layout.file, "SELECT rootpage FROM sqlite_schema WHERE name = 'zv_objects'"));
    layout.pageSize = damage::pageSize(layout.file);
    ASSERT_GT(layout.leaves.size(), 10U);

    const Pages damaged = row.damageIt(layout);
    const std::string before = damage::bytesOf(layout.file);
    std::set<std::int64_t> intact;
    for (const auto& [page, ids] : pages) {
        if (!damaged.contains(page) && page * layout.pageSize <= before.size()) {
            intact.insert(ids.begin(), ids.end());
        }
    }
    const std::size_t unsound = row.unsoundPage(layout);
    SalvageOptions options;
    std::int64_t progressed = 0;
    options.onProgress = [&](std::int64_t done, std::int64_t) { progressed = done; };

    const SalvageReport report = salvageDesign(layout.file, folder.path("salvaged.zvd"), options);

    EXPECT_EQ(damage::bytesOf(layout.file), before);
    const OpenedDesign salvaged = openDesign(report.into);
    std::set<std::int64_t> ids;
    salvaged.forEachObject([&](const SerializationTransferObject& object) {
        ids.insert(object.id());
        return true;
    });
    EXPECT_EQ(static_cast<std::int64_t>(ids.size()), report.objectsSalvaged);
    EXPECT_EQ(progressed, report.objectsSalvaged);
    EXPECT_THAT(intact, IsSubsetOf(ids));
    const std::int64_t reference = referenceRecovery(layout.file, folder.path("reference.db"));
    EXPECT_GE(report.objectsSalvaged, reference);
    ASSERT_FALSE(ids.empty());
    EXPECT_TRUE(*ids.begin() >= kFirstId && *ids.rbegin() < kFirstId + static_cast<std::int64_t>(kObjects));
    for (const std::int64_t lost : report.lostIdentities) {
        EXPECT_FALSE(ids.contains(lost)) << lost;
    }
    EXPECT_GT(salvaged.nextIdentifier, *ids.rbegin());
    EXPECT_EQ(report.nextIdentifier, salvaged.nextIdentifier);

    EXPECT_EQ(report.metadataReadable, row.metadataReadable);
    if (row.metadataReadable) {
        EXPECT_THAT(report.defaultsUsed, ::testing::IsEmpty());
        EXPECT_EQ(report.dataRevision, "valve fix");
        EXPECT_EQ(salvaged.dataRevisionNumber, 7);
    } else {
        EXPECT_THAT(report.defaultsUsed, ::testing::Contains("version"));
        EXPECT_EQ(report.version, SqliteDesignStore::kCurrentVersion);
    }
    EXPECT_EQ(!report.duplicates.empty(), row.duplicates);
    if (unsound != 0) {
        EXPECT_EQ(report.unsoundPages, 1);
        EXPECT_EQ(std::set<std::int64_t>(report.suspectIdentities.begin(), report.suspectIdentities.end()),
                  std::set<std::int64_t>(pages.at(unsound).begin(), pages.at(unsound).end()));
    } else {
        EXPECT_THAT(report.suspectIdentities, ::testing::IsEmpty());
    }
    if (intact.size() == kObjects) {
        EXPECT_EQ(report.objectsSalvaged, static_cast<std::int64_t>(kObjects));
        EXPECT_THAT(report.lostIdentities, ::testing::IsEmpty());
        EXPECT_EQ(report.groups, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, SalvageDamaged, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string name = param.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A name already taken is refused with nothing written to it.
TEST(Salvage, NeverWritesOverAFile) {
    const testing::TempFolder folder;
    const std::string file = folder.path("design.zvd");
    writeDesign(file, "design");
    const std::string taken = folder.write("taken.zvd", "mine");
    try {
        (void)salvageDesign(file, taken);
        ADD_FAILURE() << "salvaged over " << taken;
    } catch (const DesignRefusedException& e) {
        EXPECT_EQ(e.reason(), DesignRefusal::ForeignFile) << e.what();
    }
    EXPECT_EQ(damage::bytesOf(taken), "mine");
}

} // namespace
} // namespace Zorvan
