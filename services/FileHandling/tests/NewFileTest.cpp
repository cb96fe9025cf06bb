// NewFile on real files, as every system must behave; the access a new file
// takes from the design is tested in NativeFileSystemPosixTest.cpp.

#include "FileHandling/NewFile.h"

#include <gmock/gmock.h>

#include "FileHandling/FileNameException.h"
#include "FileHandling/testing/TempFolder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

class NewFileTest : public ::testing::Test {
protected:
    bool present(const std::string& name) const { return fs::exists(TempFolder::fromUtf8(name)); }

    TempFolder dir;
    std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();
    ScopedLogSink installed{log};
    std::string design = dir.write("a.zvd", "design");
    std::string temporary = dir.path("a.tmp.zvd");
};

TEST_F(NewFileTest, RefusesWhatItCannotCreateAndLeavesTheNameAlone) {
    const std::string taken = dir.write("taken.tmp.zvd", "someone's");
    for (const auto& [name, like] : {std::pair{taken, design}, std::pair{temporary, dir.path("missing.zvd")},
                                     std::pair{dir.path("none/a.tmp.zvd"), design}}) {
        SCOPED_TRACE(name + " like " + like);
        try {
            NewFile::create(name, like);
            ADD_FAILURE() << "created";
        } catch (const FileNameException& e) {
            EXPECT_EQ(e.path(), name);
            EXPECT_THAT(e.what(), ::testing::StartsWith("Cannot create '" + name + "': "));
        }
        EXPECT_EQ(present(name), name == taken);
    }
    EXPECT_EQ(TempFolder::read(taken), "someone's");
    EXPECT_EQ(log->records().size(), 3u);
}

TEST_F(NewFileTest, RemovesItsFileOnlyWhileTheNameHoldsIt) {
    FileIdentity identity;
    EXPECT_FALSE(identityOf(temporary, identity));
    {
        const NewFile file = NewFile::create(temporary, design);
        EXPECT_EQ(fs::file_size(TempFolder::fromUtf8(temporary)), 0u);
        ASSERT_TRUE(identityOf(temporary, identity));
        EXPECT_EQ(identity, file.identity());
        EXPECT_TRUE(file.unchanged());
    }
    EXPECT_FALSE(present(temporary)) << "dropped unused";
    {
        const std::string other = dir.write("other.zvd", "other");
        const NewFile file = NewFile::create(temporary, design);
        fs::rename(TempFolder::fromUtf8(other), TempFolder::fromUtf8(temporary));
        EXPECT_FALSE(file.unchanged());
    }
    EXPECT_EQ(TempFolder::read(temporary), "other") << "what was put under the name stays";
    fs::remove(TempFolder::fromUtf8(temporary));
    {
        NewFile kept = NewFile::create(temporary, design);
        NewFile(std::move(kept)).release();
        kept = NewFile::create(dir.path("b.tmp.zvd"), design);
        EXPECT_TRUE(present(temporary)) << "released, and left alone by the moved-from object";
        kept = NewFile::create(dir.path("c.tmp.zvd"), design);
        EXPECT_FALSE(present(dir.path("b.tmp.zvd"))) << "assigning over an object drops its file";
    }
    EXPECT_FALSE(present(dir.path("c.tmp.zvd")));
    EXPECT_TRUE(log->records().empty());
    EXPECT_EQ(maxLeafNameLength(design), 255u);
    EXPECT_EQ(maxLeafNameLength("a.zvd"), 255u) << "a name without a folder is in the current one";
}

} // namespace
} // namespace Zorvan
