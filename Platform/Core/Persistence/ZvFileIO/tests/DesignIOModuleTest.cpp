// What a design module stores, per write mode and selection.

#include <gtest/gtest.h>

#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Serialization/testing/MockSingleObjectInterface.h"

namespace Zorvan {
namespace {

using ::testing::Return;
using ::testing::StrictMock;
using testing::MockSingleObjectInterface;

struct ModuleCase {
    int mode;
    bool doActionGiven;
    bool doAction;    // what the module reports
    bool asksContains; // save asks contains() before choosing
};

std::string name(const ModuleCase& c) {
    return "mode" + std::to_string(c.mode) + (c.doActionGiven ? "Selected" : "Unselected");
}
void PrintTo(const ModuleCase& c, std::ostream* os) { *os << name(c); }

class DesignModule : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(DesignModule, StoresAsTheModeSays) {
    const ModuleCase& c = GetParam();
    const auto mode = static_cast<ZvFileWriteMode>(c.mode);
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "object already stored" : "new object");
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
            // A move takes the handle over: the module moved from stores nothing.
            DesignIOModule given(handle, mode, c.doActionGiven);
            DesignIOModule module(std::move(given));
            given.save(object); // NOLINT(bugprone-use-after-move)
            EXPECT_EQ(module.doAction(), c.doAction);
            EXPECT_EQ(module.writeMode(), mode);
            EXPECT_EQ(handle.use_count(), 2);
            module.save(object);
        }
        EXPECT_EQ(handle.use_count(), 1);

        DesignIOModule empty(nullptr, mode, c.doActionGiven);
        empty.save(object); // calls nothing
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DesignModule,
                         ::testing::Values(ModuleCase{0, false, true, false}, ModuleCase{0, true, true, false},
                                           ModuleCase{1, false, false, false}, ModuleCase{1, true, true, true},
                                           ModuleCase{2, false, true, true}, ModuleCase{2, true, true, true},
                                           ModuleCase{5, false, false, false}, ModuleCase{5, true, true, true}),
                         [](const auto& testInfo) { return name(testInfo.param); });

} // namespace
} // namespace Zorvan
