// End-to-end: the reference host's commands on real design files.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "Commands.h"
#include "Demo.h"
#include "Serialization/SqliteDesignStore.h"
#include "VersionControl/VersionControl.h"

namespace zvfile {
namespace {

namespace fs = std::filesystem;
using Zorvan::SqliteDesignStore;
using Zorvan::ZvFileWriteMode;

class Host : public ::testing::Test {
protected:
    Host() : dir(fs::temp_directory_path() / ("zvfile-test-" + std::to_string(std::random_device()()))) {
        fs::create_directories(dir);
    }
    ~Host() override {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(dir)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(dir, ignored);
    }
    std::string path(const char* leaf) const { return (dir / leaf).string(); }

    int run(SaveOptions options) {
        options.progress = false;
        return guarded([&] { return save(options, out); }, err);
    }
    // Every file of the folder with its bytes.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::ostringstream content;
            content << std::ifstream(entry.path(), std::ios::binary).rdbuf();
            files[entry.path().filename().string()] = content.str();
        }
        return files;
    }

    fs::path dir;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(Host, SaveThenReopenRoundTripsMetadataAndObjects) {
    ASSERT_EQ(run({path("a.zvd"), ZvFileWriteMode::Overwrite, 50, {}, "first", 5}), kDone) << err.str();
    const std::string build = VersionControl().getRootRevisionAsString();

    auto store = SqliteDesignStore::openForReading(path("a.zvd"));
    std::int32_t version = -1;
    std::int32_t number = 0;
    std::string dataRevision, created, lastSaved;
    std::int64_t nextId = 0;
    std::int16_t domain = -1;
    ASSERT_TRUE(store->readFileVersion(version));
    store->readDataRevision(dataRevision);
    store->readDataRevisionNumber(number);
    store->readCreatedRevision(created);
    store->readLastSavedRevision(lastSaved);
    store->readMaxIdentifier(nextId, domain);
    EXPECT_EQ(version, SqliteDesignStore::kCurrentVersion);
    EXPECT_EQ(dataRevision, "first");
    EXPECT_EQ(number, 5);
    EXPECT_EQ(created, build);
    EXPECT_EQ(lastSaved, build);
    EXPECT_EQ(domain, 0);
    EXPECT_EQ(store->groupCount(), 4);
    const auto objects = store->readAllObjects();
    ASSERT_EQ(objects.size(), 50u);
    EXPECT_GT(nextId, objects.back().id()) << "the stored counter is past every stored identifier";
    EXPECT_NE(objects.front().payload().find("saved as 'first'"), std::string::npos);

    std::ostringstream json;
    ASSERT_EQ(info(path("a.zvd"), true, json), kDone);
    EXPECT_NE(json.str().find("\"objects\": 50"), std::string::npos) << json.str();
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
    for (const fs::path& folder : realFolders) {
        SCOPED_TRACE(folder.string());
        fs::create_directories(folder);
        const std::string real = (folder / "pump.zvd").string();
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
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no copy left over";
        if (folder != realFolders.front()) {
            fs::remove_all(folder);
        }
    }
}

TEST_F(Host, DemoTellsTheWholeStory) {
    EXPECT_EQ(demo((dir / "demo").string(), out, err), kDone) << out.str() << err.str();
}

} // namespace
} // namespace zvfile
