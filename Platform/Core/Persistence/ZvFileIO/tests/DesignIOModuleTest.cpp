// What a design module stores, per write mode and selection.

#include <gtest/gtest.h>

#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Serialization/testing/MockSingleObjectInterface.h"

namespace Zorvan {
namespace {

using ::testing::Return;
using ::testing::StrictMock;
using testing::MockSingleObjectInterface;

// A rewrite and an update of all parts store every object, an update of
// selected parts only a selected module's; an update asks whether the
// object is stored and updates it then, anything else inserts it. A module
// without a handle, or moved from, calls nothing.
TEST(DesignModule, StoresAsTheModeSays) {
    struct Case {
        int mode;
        bool doActionGiven;
        bool doAction;     // what the module reports
        bool asksContains; // save asks contains() before choosing
    };
    const Case cases[] = {{0, false, true, false}, {0, true, true, false}, {1, false, false, false},
                          {1, true, true, true},   {2, false, true, true}, {2, true, true, true},
                          {5, false, false, false}, {5, true, true, true}};
    for (const Case& c : cases) {
        const auto mode = static_cast<ZvFileWriteMode>(c.mode);
        for (const bool stored : {false, true}) {
            SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.doActionGiven ? " selected" : " unselected") +
                         (stored ? ", object already stored" : ", new object"));
            auto handle = std::make_shared<StrictMock<MockSingleObjectInterface>>();
            SerializationTransferObject object(7, "Pipe", "p");
            if (c.doAction) {
                if (c.asksContains) {
                    EXPECT_CALL(*handle, contains(object)).WillOnce(Return(stored));
                }
                if (c.asksContains && stored) {
                    EXPECT_CALL(*handle, update(object));
                } else {
                    EXPECT_CALL(*handle, insert(object));
                }
            }
            {
                DesignIOModule given(handle, mode, c.doActionGiven);
                DesignIOModule module(std::move(given));
                given.save(object); // NOLINT(bugprone-use-after-move): the handle went over
                EXPECT_EQ(module.doAction(), c.doAction);
                EXPECT_EQ(module.writeMode(), mode);
                EXPECT_EQ(handle.use_count(), 2);
                module.save(object);
            }
            EXPECT_EQ(handle.use_count(), 1);
            DesignIOModule(nullptr, mode, c.doActionGiven).save(object);
        }
    }
}

} // namespace
} // namespace Zorvan
