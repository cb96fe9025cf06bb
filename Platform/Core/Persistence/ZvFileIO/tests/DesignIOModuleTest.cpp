// Whether a design module stores, per write mode and selection. (Whether it
// updates or inserts, the save API's and the host's tests see in the file.)

#include <gtest/gtest.h>

#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Serialization/testing/MockSingleObjectInterface.h"

namespace Zorvan {
namespace {

using ::testing::Return;
using ::testing::StrictMock;
using testing::MockSingleObjectInterface;

// A rewrite and an update of all parts store every module, an update of
// selected parts (or a mode this library does not know) only a selected
// one; a module without a handle, or moved from, calls nothing.
TEST(DesignModule, StoresAsTheModeAndTheSelectionSay) {
    for (const int mode : {0, 1, 2, 5}) {
        for (const bool selected : {false, true}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + (selected ? " selected" : " unselected"));
            const bool stores = mode == 0 || mode == 2 || selected;
            auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
            SerializationTransferObject object(7, "Pipe", "p");
            EXPECT_CALL(*handle, contains(object)).Times(stores && mode != 0 ? 1 : 0).WillRepeatedly(Return(false));
            EXPECT_CALL(*handle, insert(object)).Times(stores ? 1 : 0);
            DesignIOModule given(handle, static_cast<ZvFileWriteMode>(mode), selected);
            DesignIOModule module(std::move(given));
            given.save(object); // NOLINT(bugprone-use-after-move): the handle went over
            DesignIOModule(nullptr, static_cast<ZvFileWriteMode>(mode), selected).save(object);
            EXPECT_EQ(module.doAction(), stores);
            module.save(object);
        }
    }
}

} // namespace
} // namespace Zorvan
