// What a design module leaves in a design, per write mode and selection,
// seen in a real store (which refuses an identity inserted twice and adds
// nothing on an update).

#include <gtest/gtest.h>

#include <tuple>

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
    // The mode, the selection, and the payloads then held by an object stored before and a new one.
    const std::tuple<int, bool, std::string> rows[] = {{0, false, "new new"}, {1, false, "old "}, {1, true, "new new"},
                                                       {2, false, "new new"}, {5, false, "old "}, {5, true, "new new"}};
    for (const auto& [mode, selected, held] : rows) {
        SCOPED_TRACE("mode " + std::to_string(mode) + (selected ? " selected" : ""));
        const auto store = SqliteDesignStore::openForWriting(folder.path(std::to_string(mode) + held + ".zvd"));
        SerializationTransferObject kept(7, "Pipe", "old"), added(8, "Pipe", "new");
        if (mode != ZvFileWriteMode::Overwrite) {
            store->insert(kept);
        }
        kept = {7, "Pipe", "new"};
        DesignIOModule given(store, static_cast<ZvFileWriteMode>(mode), selected);
        DesignIOModule module(std::move(given));
        given.save(kept); // NOLINT(bugprone-use-after-move): the handle went over
        DesignIOModule(nullptr, static_cast<ZvFileWriteMode>(mode), selected).save(kept);
        module.save(kept);
        module.save(added);
        const auto payload = [&](SerializationTransferObject o) { return store->read(o) ? o.payload() : ""; };
        EXPECT_EQ(payload({7, "", ""}) + " " + payload({8, "", ""}), held);
        EXPECT_EQ(module.doAction(), held == "new new");
    }
}

} // namespace
} // namespace Zorvan
