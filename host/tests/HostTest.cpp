// End-to-end: the reference host's commands on real design files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "Demo.h"
#include "FileHandling/testing/TempFolder.h"
#include "Serialization/SqliteDesignStore.h"
#include "VersionControl/VersionControl.h"

namespace zvfile {
namespace {

namespace fs = std::filesystem;
using Zorvan::SqliteDesignStore;
using Zorvan::ZvFileWriteMode;
namespace testing = Zorvan::testing;

class Host : public ::testing::Test {
protected:
    std::string path(const char* leaf) const { return folder.path(leaf); }

    int run(SaveOptions options) {
        options.progress = false;
        return guarded([&] { return save(options, out); }, err);
    }
    // Every file of the folder with its bytes.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            files[entry.path().filename().string()] = testing::TempFolder::read(entry.path().string());
        }
        return files;
    }

    testing::TempFolder folder;
    const fs::path& dir = folder.root();
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(Host, SaveThenReopenRoundTripsMetadataAndObjects) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 50, {}, "first", 5}), kDone) << err.str();
    const std::string build = VersionControl().getRootRevisionAsString();

    std::ostringstream shown;
    ASSERT_EQ(info(path("a.zvd"), true, shown), kDone);
    const auto report = nlohmann::json::parse(shown.str());
    const auto objects = SqliteDesignStore::openForReading(path("a.zvd"))->readAllObjects();
    ASSERT_EQ(objects.size(), 50u);
    EXPECT_EQ(report, nlohmann::json::parse(R"({"file": ")" + path("a.zvd") + R"(", "readable": true, "current": true,
        "version": )" + std::to_string(SqliteDesignStore::kCurrentVersion) + R"(, "createdRevision": ")" + build +
                                            R"(", "lastSavedRevision": ")" + build + R"(", "dataRevision": "first",
        "dataRevisionNumber": 5, "identifier": {"number": )" + std::to_string(objects.back().id() + 1) +
                                            R"(, "domain": 0}, "objects": 50})"));
    EXPECT_NE(objects.front().payload().find("saved as 'first'"), std::string::npos);
}

TEST_F(Host, OverwriteGoesThroughAFreshTemporaryFileAndKeepsTheCreatedRevision) {
    {
        auto store = SqliteDesignStore::openForWriting(path("a.zvd"));
        store->writeCreatedRevision("r0");
        store->commit();
    }
    std::ofstream(path("a.tmp.zvd")) << "left over from a crash";
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 20, {}, "second", 2}), kDone) << err.str();
    EXPECT_NE(out.str().find("writing through '" + path("a.tmp.zvd") + "'"), std::string::npos) << out.str();
    EXPECT_FALSE(fs::exists(path("a.tmp.zvd")));
    std::string created;
    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    store->readCreatedRevision(created);
    EXPECT_EQ(created, "r0");
    EXPECT_EQ(store->objectCount(), 20);
}

TEST_F(Host, UpdateSelectedChangesOnlyTheSelectedParts) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 40, {}, "old", 1}), kDone) << err.str();
    const auto before = SqliteDesignStore::openForReading(path("a.zvd"))->readAllObjects();
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::UpdateSelected, -1, {"valves"}, "new", 2}), kDone) << err.str();
    EXPECT_TRUE(out.str().find("writing through") == std::string::npos);

    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    const auto after = store->readAllObjects();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].id(), before[i].id());
        const bool valve = after[i].type() == "valves";
        EXPECT_EQ(after[i].payload().find("saved as 'new'") != std::string::npos, valve) << after[i].payload();
    }
    EXPECT_EQ(store->updateCount(), 1);
}

TEST_F(Host, EveryRefusalIsOneSentenceAndChangesNoFile) {
    ASSERT_EQ(run({path("locked.zvd"), ZvFileWriteMode::Overwrite, 5, {}, "", 0}), kDone);
    fs::permissions(path("locked.zvd"), fs::perms::owner_read);
    SqliteDesignStore::openForWriting(path("future.zvd"), SqliteDesignStore::kCurrentVersion + 1)->commit();
    std::ofstream(path("notes.zvd")) << "not a design\n";

    struct Case {
        const char* file;
        ZvFileWriteMode mode;
        const char* message;
    };
    const Case cases[] = {
        {"locked.zvd", ZvFileWriteMode::Overwrite, "It is not possible to overwrite a readonly file."},
        {"locked.zvd", ZvFileWriteMode::UpdateAll, "It is not possible to overwrite a readonly file."},
        {"future.zvd", ZvFileWriteMode::Overwrite, "was written by a newer version of the software"},
        {"future.zvd", ZvFileWriteMode::UpdateAll, "was written by a newer version of the software"},
        {"notes.zvd", ZvFileWriteMode::Overwrite, "Error reading file version."},
        {"missing.zvd", ZvFileWriteMode::UpdateSelected, "it does not exist"},
        {".zvd", ZvFileWriteMode::Overwrite, "The file must have a name."},
    };
    const auto before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        err.str("");
        EXPECT_EQ(run({path(c.file), c.mode, 3, {}, "x", 1}), kRefused);
        const std::string line = err.str();
        EXPECT_NE(line.find(path(c.file)), std::string::npos) << line;
        EXPECT_NE(line.find(c.message), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    }
    for (const char* file : {"future.zvd", "notes.zvd"}) {
        std::ostringstream shown;
        EXPECT_EQ(guarded([&] { return info(path(file), false, shown); }, err), kRefused);
    }
    EXPECT_EQ(snapshot(), before);
}

TEST_F(Host, AutosaveCopyIsMadeAndCleanedBesideTheDesign) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 7, {}, "", 0}), kDone);
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone);
    ASSERT_EQ(autosave(path("a.zvd"), out), kDone) << "an older copy is replaced";
    EXPECT_EQ(SqliteDesignStore::openForReading(path("a.bak.zvd"))->objectCount(), 7);
    out.str("");
    clean(path("a.zvd"), out);
    clean(path("a.zvd"), out);
    EXPECT_EQ(out.str(), "deleted '" + path("a.bak.zvd") + "'\nno autosave copy of '" + path("a.zvd") + "'\n");
}

// An Overwrite through a symbolic link replaces the file the link points
// to, keeps its permission bits and leaves the link in place, also when
// that file lies on another device (/dev/shm is a separate file system
// where it exists).
TEST_F(Host, OverwriteKeepsLinksAndPermissions) {
    std::vector<fs::path> realFolders = {dir / "real"};
    if (fs::is_directory("/dev/shm")) {
        realFolders.push_back(fs::path("/dev/shm") / dir.filename());
    }
    for (const fs::path& realFolder : realFolders) {
        SCOPED_TRACE(realFolder.string());
        fs::create_directories(realFolder);
        const std::string real = (realFolder / "pump.zvd").string();
        ASSERT_EQ(run({real, ZvFileWriteMode::Overwrite, 3, {}, "old", 1}), kDone) << err.str();
        const fs::perms perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
        fs::permissions(real, perms);
        fs::remove(path("link.zvd"));
        fs::create_symlink(real, path("link.zvd"));

        ASSERT_EQ(run({path("link.zvd"), ZvFileWriteMode::Overwrite, 9, {}, "new", 2}), kDone) << err.str();
        EXPECT_TRUE(fs::is_symlink(path("link.zvd")));
        EXPECT_EQ(fs::read_symlink(path("link.zvd")), real);
        EXPECT_EQ(fs::status(real).permissions(), perms);
        EXPECT_EQ(SqliteDesignStore::openForReading(real)->objectCount(), 9);
        EXPECT_EQ(std::distance(fs::directory_iterator(realFolder), fs::directory_iterator()), 1) << "no copy left over";
        if (realFolder != realFolders.front()) {
            fs::remove_all(realFolder);
        }
    }
}

TEST_F(Host, DemoTellsTheWholeStory) {
    EXPECT_EQ(demo((dir / "demo").string(), out, err), kDone) << out.str() << err.str();
}

} // namespace
} // namespace zvfile
