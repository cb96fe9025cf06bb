// The save API on real files: the road it runs, and every misuse of the
// road it replaces either impossible or reported.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "FileHandling/testing/TempFolder.h"
#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;

class DesignSaveTest : public ::testing::Test {
protected:
    std::string path(const char* leaf) const { return folder.path(leaf); }
    // Saves `objects` new objects to `leaf` in `mode`, committed.
    void saveDesign(const char* leaf, int objects, const std::string& revision,
                    ZvFileWriteMode mode = ZvFileWriteMode::Overwrite) {
        DesignSave save = DesignSave::begin(path(leaf), options(mode));
        DesignIOModule module = save.module(true);
        for (int i = 0; i < objects; ++i) {
            SerializationTransferObject object(Identifier::create().number, "Pipe", revision);
            module.save(object);
        }
        (void)save.commit(revision, objects);
    }
    static DesignSaveOptions options(ZvFileWriteMode mode) {
        DesignSaveOptions o;
        o.mode = mode;
        o.lockWait = std::chrono::milliseconds(0);
        return o;
    }
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& entry : fs::directory_iterator(folder.root())) {
            all[entry.path().filename().string()] = testing::TempFolder::read(entry.path().string());
        }
        return all;
    }
    static DesignRefusal refusalOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const DesignRefusedException& e) {
            return e.reason();
        }
        ADD_FAILURE() << "no refusal";
        return DesignRefusal::Failed;
    }

    testing::TempFolder folder;
};

TEST_F(DesignSaveTest, ASavedDesignReopensWithItsObjectsAndMetadata) {
    saveDesign("a.zvd", 3, "first");
    saveDesign("a.zvd", 2, "second", ZvFileWriteMode::UpdateAll);
    const OpenedDesign opened = openDesign(path("a.zvd"));
    EXPECT_TRUE(opened.readable && opened.current);
    std::string revision;
    opened.store->readDataRevision(revision);
    EXPECT_EQ(revision, "second");
    EXPECT_EQ(opened.store->objectCount(), 5);
    EXPECT_EQ(opened.store->updateCount(), 1);
    EXPECT_EQ(files().size(), 1u) << "nothing but the design";
}

// The old road let a host forget the commit, or stop midway, and still
// report success; a DesignSave that is not committed changes nothing and
// removes what it made, for a new design and an existing one alike.
TEST_F(DesignSaveTest, ASaveNotCommittedLeavesEverythingAsItWas) {
    for (const bool existing : {false, true}) {
        for (const ZvFileWriteMode mode : {ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateAll}) {
            if (!existing && mode != ZvFileWriteMode::Overwrite) {
                continue;
            }
            SCOPED_TRACE(std::string(existing ? "existing" : "new") + " design, mode " + std::to_string(mode));
            if (existing) {
                saveDesign("a.zvd", 3, "kept");
            }
            const auto before = files();
            std::shared_ptr<SqliteDesignStore> previous;
            {
                DesignSave save = DesignSave::begin(path("a.zvd"), options(mode));
                previous = save.previous();
                EXPECT_EQ(previous != nullptr, existing);
                DesignIOModule module = save.module(true);
                SerializationTransferObject object(Identifier::create().number, "Pipe", "lost");
                module.save(object);
                EXPECT_THROW(
                    {
                        save.createGroup();
                        throw std::runtime_error("the host fails midway");
                    },
                    std::runtime_error);
            }
            EXPECT_EQ(files(), before);
            if (previous) {
                EXPECT_EQ(previous.use_count(), 1) << "the save keeps no share of the design it read";
            }
            previous.reset();
            fs::remove(path("a.zvd"));
        }
    }
}

// What the type system cannot stop is reported: a second save of a design
// that is being saved, and any use of a save after its commit.
TEST_F(DesignSaveTest, MisuseIsReported) {
    saveDesign("a.zvd", 1, "first");
    DesignSave save = DesignSave::begin(path("a.zvd"), options(ZvFileWriteMode::Overwrite));
    EXPECT_EQ(refusalOf([&] { (void)DesignSave::begin(path("a.zvd"), options(ZvFileWriteMode::UpdateAll)); }),
              DesignRefusal::Busy);
    EXPECT_EQ(refusalOf([&] { (void)writeAutosaveCopy(path("a.zvd"), options(ZvFileWriteMode::Overwrite)); }),
              DesignRefusal::Busy);
    DesignIOModule kept = save.module(true); // still held at commit: the file is closed all the same
    (void)save.commit("second", 2);
    SerializationTransferObject late(Identifier::create().number, "Pipe", "late");
    EXPECT_THROW(kept.save(late), DesignStoreException);
    EXPECT_THROW((void)save.module(true), std::logic_error);
    EXPECT_THROW((void)save.commit("third", 3), std::logic_error);
    EXPECT_EQ(refusalOf([&] { (void)DesignSave::begin(path("missing.zvd"), options(ZvFileWriteMode::UpdateAll)); }),
              DesignRefusal::Missing);
    EXPECT_EQ(refusalOf([&] { (void)DesignSave::begin(path(".zvd"), options(ZvFileWriteMode::Overwrite)); }),
              DesignRefusal::NoName);
    EXPECT_EQ(files().size(), 1u);
}

} // namespace
} // namespace Zorvan
