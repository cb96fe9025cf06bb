// The save road stopped by a simulated power cut after each of its steps:
// afterwards the design is the whole old or the whole new one, and the next
// save goes through.

#include <gtest/gtest.h>

#include <iostream>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/CrashSimFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {
namespace {

using testing::CrashSimFileSystem;
using testing::SimulatedCrash;

const std::string kTarget = "d/pump.zvd";
const std::string kTemporary = "d/pump.tmp.zvd";

std::string design(const std::string& name) { return name + ":" + std::string(64, name[0]); }

// A host's rewrite: the library's road, with the store's commit standing in
// as a write and a flush of the file it was given, and a folder sync when
// it created the file.
void save(CrashSimFileSystem& fs, const std::string& content, bool throughTheLibrary = true) {
    const ZvFileWriteMode mode = ZvFileWriteMode::Overwrite;
    std::string reason;
    ASSERT_TRUE(ZvFileIO::checkSavePossible(kTarget, mode, &reason)) << reason;
    const FileName written = throughTheLibrary ? ZvFileIO::prepareFileName(kTarget, mode) : FileName(kTarget);
    const bool created = !fs.content(written.toNativeString());
    fs.write(written.toNativeString(), content);
    fs.sync(written.toNativeString());
    if (created) {
        fs.syncFolder();
    }
    ASSERT_TRUE(ZvFileIO::restoreFileName(kTarget, written, mode));
}

struct Scenario {
    const char* name;
    bool targetExists;
    bool leftOver;
};

// Runs the save with a crash at every step; returns the number of crash
// points whose outcome was neither the old nor the new design.
int crashEverywhere(const Scenario& scenario, bool throughTheLibrary, int& points) {
    auto seeded = [&] {
        auto fs = std::make_shared<CrashSimFileSystem>();
        if (scenario.targetExists) {
            fs->seed(kTarget, design("old"));
        }
        if (scenario.leftOver) {
            fs->seed(kTemporary, design("junk"));
        }
        return fs;
    };
    int steps = 0;
    {
        auto fs = seeded();
        const ScopedFileSystem installed(fs);
        save(*fs, design("new"), throughTheLibrary);
        steps = fs->crashAt(0);
    }
    int lost = 0;
    // Step steps + 1 is never reached: the power goes after a completed save,
    // which must have kept the new design.
    for (int n = 1; n <= steps + 1; ++n) {
        SCOPED_TRACE(std::string(scenario.name) + ", crash at step " + std::to_string(n));
        auto fs = seeded();
        const ScopedFileSystem installed(fs);
        fs->crashAt(n);
        const bool completed = n > steps;
        if (completed) {
            save(*fs, design("new"), throughTheLibrary);
        } else {
            EXPECT_THROW(save(*fs, design("new"), throughTheLibrary), SimulatedCrash);
        }
        fs->crash();
        const std::optional<std::string> found = fs->content(kTarget);
        const bool old = scenario.targetExists ? found == design("old") : !found;
        const bool whole = found == design("new") || (!completed && old);
        lost += whole ? 0 : 1;
        ++points;

        fs->crashAt(0);
        save(*fs, design("next"), throughTheLibrary);
        EXPECT_EQ(fs->content(kTarget), design("next"));
        EXPECT_FALSE(fs->content(kTemporary)) << "the next save leaves no temporary file";
    }
    return lost;
}

TEST(CrashConsistency, ACrashAfterAnyStepLosesNoDesign) {
    int points = 0;
    for (const Scenario& scenario : {Scenario{"rewrite", true, false}, Scenario{"rewrite over a left-over", true, true},
                                     Scenario{"new file", false, false}}) {
        EXPECT_EQ(crashEverywhere(scenario, true, points), 0) << scenario.name;
    }
    std::cout << "[ crash simulation ] " << points << " crash points, 0 designs lost\n";
}

// The simulation is strict enough to catch the unsafe road: rewriting the
// target in place tears it when the power goes between write and flush.
TEST(CrashConsistency, RewritingInPlaceIsCaught) {
    int points = 0;
    EXPECT_GT(crashEverywhere({"in place", true, false}, false, points), 0);
}

} // namespace
} // namespace Zorvan
