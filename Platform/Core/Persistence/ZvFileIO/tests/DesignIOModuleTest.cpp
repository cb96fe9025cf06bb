// What a design module leaves in a design, per write mode and selection,
// seen in a real store (which refuses an identity inserted twice and does
// not add one that is updated).

#include <gtest/gtest.h>

#include "FileHandling/testing/TempFolder.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Serialization/SqliteDesignStore.h"

namespace Zorvan {
namespace {

// A rewrite (into an empty file) and an update of all parts store every
// module, an update of selected parts (or a mode this library does not
// know) only a selected one: an object already stored is updated, a new
// one added. A module without a handle, or moved from, stores nothing.
TEST(DesignModule, StoresAsTheModeAndTheSelectionSay) {
    const testing::TempFolder folder;
    struct Row {
        int mode;
        bool selected;
        const char* kept;  // the payload of the object stored before ("" when the file starts empty)
        const char* added; // the payload of the new object afterwards ("" when not stored)
    };
    for (const Row& row : {Row{0, false, "new", "new"}, Row{1, false, "old", ""}, Row{1, true, "new", "new"},
                           Row{2, false, "new", "new"}, Row{5, false, "old", ""}, Row{5, true, "new", "new"}}) {
        SCOPED_TRACE("mode " + std::to_string(row.mode) + (row.selected ? " selected" : ""));
        const auto mode = static_cast<ZvFileWriteMode>(row.mode);
        const std::string file = folder.path("m" + std::to_string(row.mode) + (row.selected ? "s.zvd" : ".zvd"));
        if (mode != ZvFileWriteMode::Overwrite) {
            const auto before = SqliteDesignStore::openForWriting(file);
            SerializationTransferObject kept(7, "Pipe", "old");
            before->insert(kept);
            before->commit();
        }
        const auto store = SqliteDesignStore::openForWriting(file);
        DesignIOModule given(store, mode, row.selected);
        DesignIOModule module(std::move(given));
        SerializationTransferObject kept(7, "Pipe", "new"), added(8, "Pipe", "new");
        given.save(kept); // NOLINT(bugprone-use-after-move): the handle went over
        DesignIOModule(nullptr, mode, row.selected).save(kept);
        module.save(kept);
        module.save(added);
        store->commit();
        const auto payloadOf = [&](std::int64_t id) {
            SerializationTransferObject object(id, "", "");
            return store->read(object) ? object.payload() : std::string();
        };
        EXPECT_EQ(payloadOf(7), row.kept);
        EXPECT_EQ(payloadOf(8), row.added);
        EXPECT_EQ(module.doAction(), *row.added != '\0');
    }
}

} // namespace
} // namespace Zorvan
