// The file-backed design store on real files.

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <ranges>

#include "FileHandling/testing/TempFolder.h"
#include "Serialization/SqliteDesignStore.h"
#include "Serialization/testing/Damage.h"
#include "Serialization/testing/OtherProgram.h"
#include "Serialization/testing/StoredObjects.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;

using Other = testing::OtherProgram;

class DesignStore : public ::testing::Test {
protected:
    std::string path(const std::string& leaf) const { return folder.path(leaf); }
    static std::string bytes(const std::string& file) { return testing::TempFolder::read(file); }
    // A committed design with two objects and every metadata field set.
    std::string makeDesign(const char* leaf) const {
        auto store = SqliteDesignStore::openForWriting(path(leaf));
        std::int32_t number = 9, group = 0;
        store->writeDataRevision("data-a");
        store->writeDataRevisionNumber(number);
        store->writeCreatedRevision("c1");
        store->writeLastSavedRevision("s1");
        store->writeMaxIdentifier(77, 3);
        store->addGroup(group);
        store->markUpdated();
        insert(*store, {{1, "Pipe", std::string("a\0b", 3)}, {2, "Valve", "v"}});
        return path(leaf);
    }

    // Inserts `objects` and commits.
    static void insert(SqliteDesignStore& store, std::vector<SerializationTransferObject> objects) {
        std::ranges::for_each(objects, [&](SerializationTransferObject& object) { store.insert(object); });
        store.commit();
    }

    testing::TempFolder folder;
};

// What is written is read back; a field never written leaves the caller's
// value as it was. A reading handle refuses writes.
TEST_F(DesignStore, WhatIsWrittenIsReadBack) {
    SqliteDesignStore::openForWriting(path("new.zvd"))->commit();
    // The data revision and its number, who created and last saved it, the
    // identifier counter, and the numbers of groups, updates and objects.
    using Fields = std::tuple<std::string, std::int32_t, std::string, std::string, std::int64_t, std::int16_t,
                              std::int32_t, std::int64_t, std::int64_t>;
    const Fields unread{"kept", -2, "kept", "kept", 5, 6, 0, 0, 0};
    // A damaged or foreign design: identities at both ends of the range, and
    // an identifier domain wider than any a store writes (none wraps).
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (const auto& [leaf, domain] : {std::pair{"limits.zvd", -32768}, std::pair{"wide.zvd", 99999}}) {
        insert(*SqliteDesignStore::openForWriting(path(leaf)), {{kMax, "Pipe", "p"}, {-1, "Pipe", "p"}, {kMin, "Pipe", "p"}});
        ASSERT_EQ(Other(path(leaf)).run("UPDATE zv_metadata SET identifier_number = " + std::to_string(kMin) +
                                        ", identifier_domain = " + std::to_string(domain)),
                  "-");
        testing::damage::restampChecksums(path(leaf)); // as a writer of this software would have left it
    }
    struct Case {
        std::string file;
        Fields expected;
        std::vector<std::int64_t> identities; // what a walk visits, in order
        const char* damage = nullptr;         // what reading the identifier counter says instead
    };
    const Case cases[] = {
        {makeDesign("a.zvd"), {"data-a", 9, "c1", "s1", 77, 3, 1, 1, 2}, {1, 2}},
        {path("new.zvd"), unread, {}},
        {path("limits.zvd"), {"kept", -2, "kept", "kept", kMin, -32768, 0, 0, 3}, {kMin, -1, kMax}},
        {path("wide.zvd"), {}, {kMin, -1, kMax}, "damaged"},
    };
    for (const auto& [file, expected, identities, damage] : cases) {
        SCOPED_TRACE(file);
        auto store = SqliteDesignStore::openForReading(file);
        EXPECT_TRUE(std::ranges::equal(testing::storedObjects(*store) | std::views::transform(&SerializationTransferObject::id),
                                       identities));
        if (damage != nullptr) {
            std::int64_t number = 0;
            std::int16_t domain = 0;
            EXPECT_THAT([&] { store->readMaxIdentifier(number, domain); },
                        ::testing::Throws<FileError>(::testing::Truly([](const FileError& e) { return is(e.code(), FileErrc::Damaged); })));
            continue;
        }
        std::int32_t version = -1;
        ASSERT_TRUE(store->readFileVersion(version));
        EXPECT_EQ(version, SqliteDesignStore::kCurrentVersion);
        Fields read = unread;
        auto& [data, number, created, saved, idNumber, idDomain, groups, updates, objects] = read;
        store->readDataRevision(data);
        store->readDataRevisionNumber(number);
        store->readCreatedRevision(created);
        store->readLastSavedRevision(saved);
        store->readMaxIdentifier(idNumber, idDomain);
        std::tie(groups, updates, objects) = std::tuple(store->groupCount(), store->updateCount(), store->objectCount());
        EXPECT_EQ(read, expected);
        EXPECT_THROW(store->markUpdated(), FileError) << "a reading handle refuses writes";
    }
    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    EXPECT_EQ(testing::storedObjects(*store).at(0), SerializationTransferObject(1, "Pipe", std::string("a\0b", 3)));
    SerializationTransferObject probe(2, "", "");
    EXPECT_TRUE(store->contains(probe) && store->read(probe) && probe.payload() == "v");
}

// Anything but a whole design is refused, by a reading handle without an
// exception, and left as it was. A rollback writes whole pages back: a file
// ending inside a page would come out of a dropped writing handle longer
// than it went in, so none is taken for writing. A design's tables are no
// design without the design's marker (the application id), or with another
// program's. A replacement fills only an empty file the caller made (as
// every rewrite of the save API does, without a journal) and takes none
// that holds something already. (Text, empty, truncated and cut files are
// among the store fuzzer's corpus, which the tests replay. Links in the
// design's folders, and a FIFO or a folder at the name or at the journal's,
// meet every road of the save API.)
TEST_F(DesignStore, AnythingButAWholeDesignIsRefusedAndLeftAsItWas) {
    const std::string full = bytes(makeDesign("real.zvd"));
    folder.write("cut-in-last-page.zvd", full.substr(0, full.size() - 100)); // still reads as a design
    SqliteDesignStore::openForWriting(path("foreign.zvd"))->commit();
    const std::string tables = bytes(path("foreign.zvd"));
    folder.write("foreign.zvd", std::string(tables).replace(68, 4, std::string(4, '\0')));
    folder.write("other-program.zvd", std::string(tables).replace(68, 4, "\x12\x34\x56\x78"));
    testing::damage::restampChecksums(path("foreign.zvd")), testing::damage::restampChecksums(path("other-program.zvd"));
    // Other programs' databases before they made their tables: no schema, but
    // the program's application id, or its user version alone, in the header.
    for (const char* mark : {"application_id", "user_version"}) {
        ASSERT_EQ(Other(path(mark)).run(std::string("PRAGMA ") + mark + " = 1234"), "-");
    }
    std::vector<std::string> leaves{"cut-in-last-page.zvd", "foreign.zvd", "other-program.zvd", "application_id",
                                    "user_version"};
#ifndef _WIN32
    // A link at the name is read through, but could lead anywhere for writing.
    fs::create_symlink(path("real.zvd"), path("link.zvd"));
    leaves.push_back("link.zvd");
#endif
    for (const std::string& leaf : leaves) {
        SCOPED_TRACE(leaf);
        const std::string before = bytes(path(leaf));
        std::int32_t version = -1;
        const bool reads = SqliteDesignStore::openForReading(path(leaf))->readFileVersion(version);
        EXPECT_EQ(reads, leaf == "cut-in-last-page.zvd" || leaf == "link.zvd");
        EXPECT_EQ(version, reads ? SqliteDesignStore::kCurrentVersion : -1);
        EXPECT_THROW(SqliteDesignStore::openForWriting(path(leaf)), FileError);
        EXPECT_THROW(SqliteDesignStore::openForReplacement(path(leaf)), FileError);
        EXPECT_EQ(bytes(path(leaf)), before);
    }
}

// A walk reads a design of any size a batch at a time, in identity order,
// and may write through the same handle as it goes: an update in place
// rewrites every object it visits and adds as many with new identities
// (larger than any stored, as the identifier service hands out), and visits
// each object of the design once, never one it added.
TEST_F(DesignStore, AWalkVisitsEveryObjectOnceWhileTheHandleWrites) {
    constexpr std::int64_t kObjects = 600; // more than two batches
    // The n-th identity: one after another across the first batch's end,
    // with gaps across the second's.
    const auto identity = [](std::int64_t n) { return n <= 300 ? n : 2 * n; };
    std::vector<SerializationTransferObject> old;
    for (std::int64_t n = kObjects; n >= 1; --n) {
        old.emplace_back(identity(n), "Pipe", "old");
    }
    insert(*SqliteDesignStore::openForWriting(path("a.zvd")), old);
    auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
    std::vector<std::int64_t> visited;
    store->forEachObject(
        [&](const SerializationTransferObject& object) {
            EXPECT_EQ(object.payload(), "");
            visited.push_back(object.id());
            SerializationTransferObject updated(object.id(), "Pipe", "new");
            store->update(updated);
            SerializationTransferObject added(object.id() + 4 * kObjects, "Valve", "added");
            store->insert(added);
            return true;
        },
        SqliteDesignStore::Fields::IdentityAndType);
    ASSERT_TRUE(std::ranges::equal(visited, std::views::iota(std::int64_t{1}, kObjects + 1) | std::views::transform(identity)));
    store->commit();
    const auto objects = testing::storedObjects(*SqliteDesignStore::openForReading(path("a.zvd")));
    ASSERT_EQ(objects.size(), static_cast<std::size_t>(2 * kObjects));
    EXPECT_EQ(objects.front(), SerializationTransferObject(1, "Pipe", "new"));
    EXPECT_EQ(objects.back(), SerializationTransferObject(identity(kObjects) + 4 * kObjects, "Valve", "added"));

    int seen = 0;
    store->forEachObject([&](const SerializationTransferObject&) { return ++seen < 3; });
    EXPECT_EQ(seen, 3) << "a walk ends when the visitor says so";
}

} // namespace
} // namespace Zorvan
