// Checking, preparing and restoring save targets, over a recording file system.

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "TestSupport.h"

namespace Zorvan {
namespace {

using Calls = std::vector<std::string>;
constexpr auto kModes = {ZvFileWriteMode::Overwrite, ZvFileWriteMode::UpdateSelected, ZvFileWriteMode::UpdateAll,
                         static_cast<ZvFileWriteMode>(9)};

class SaveTarget : public ::testing::Test {
protected:
    std::shared_ptr<testing::FakeFileSystem> fs = std::make_shared<testing::FakeFileSystem>();
    ScopedFileSystem installed{fs};
    testing::ServiceDoubles services;
};

TEST_F(SaveTarget, CheckSavePossible) {
    const std::string nameMessage = "DesignIO: The file must have a name. An empty filename is not allowed.";
    const std::string readOnlyMessage = "DesignIO: It is not possible to overwrite a readonly file.";
    struct Case {
        const char* name;
        bool exists;
        bool readOnly;
        bool expected;
        std::string message;
        Calls calls;
    };
    const Case cases[] = {
        {"d/new.zvd", false, false, true, "", {"exists d/new.zvd"}},
        {"d/old.zvd", true, false, true, "", {"exists d/old.zvd", "isReadOnly d/old.zvd"}},
        {"d/locked.zvd", true, true, false, readOnlyMessage, {"exists d/locked.zvd", "isReadOnly d/locked.zvd"}},
        {"d/.zvd", true, true, false, nameMessage, {}},
        {"d/", false, false, false, nameMessage, {}},
        {"", false, false, false, nameMessage, {}},
        {"d/noext", false, false, true, "", {"exists d/noext"}},
    };
    for (const Case& c : cases) {
        for (const ZvFileWriteMode mode : kModes) {
            SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(static_cast<int>(mode)));
            fs->files.clear();
            if (c.exists) {
                fs->files[c.name] = c.readOnly;
            }
            for (const bool wantMessage : {true, false}) {
                fs->calls.clear();
                services.catalogue->calls.clear();
                std::string message = "untouched";
                EXPECT_EQ(ZvFileIO::checkSavePossible(c.name, mode, wantMessage ? &message : nullptr), c.expected);
                EXPECT_EQ(fs->calls, c.calls);
                const bool translated = wantMessage && !c.expected;
                EXPECT_EQ(message, translated ? c.message : "untouched");
                ASSERT_EQ(services.catalogue->calls.size(), translated ? 1u : 0u);
                if (translated) {
                    EXPECT_TRUE(services.catalogue->calls[0].nullDisambiguation);
                    EXPECT_EQ(services.catalogue->calls[0].n, -1);
                }
            }
        }
    }
}

TEST_F(SaveTarget, PrepareRedirectsOnlyTheRewriteOfAnExistingFile) {
    struct Case {
        ZvFileWriteMode mode;
        std::map<std::string, bool> files;
        std::string expected;
        Calls calls;
    };
    const Case cases[] = {
        {ZvFileWriteMode::Overwrite, {}, "d/p.zvd", {"exists d/p.zvd"}},
        {ZvFileWriteMode::Overwrite, {{"d/p.zvd", false}}, "d/p.tmp.zvd", {"exists d/p.zvd", "exists d/p.tmp.zvd"}},
        {ZvFileWriteMode::Overwrite,
         {{"d/p.zvd", false}, {"d/p.tmp.zvd", false}},
         "d/p.tmp.zvd",
         {"exists d/p.zvd", "exists d/p.tmp.zvd", "remove d/p.tmp.zvd"}},
        {ZvFileWriteMode::UpdateSelected, {{"d/p.zvd", false}, {"d/p.tmp.zvd", false}}, "d/p.zvd", {}},
        {ZvFileWriteMode::UpdateAll, {{"d/p.zvd", false}}, "d/p.zvd", {}},
        {static_cast<ZvFileWriteMode>(-4), {{"d/p.zvd", false}}, "d/p.zvd", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected + " mode " + std::to_string(static_cast<int>(c.mode)));
        fs->files = c.files;
        fs->calls.clear();
        EXPECT_EQ(ZvFileIO::prepareFileName("d/p.zvd", c.mode).toNativeString(), c.expected);
        EXPECT_EQ(fs->calls, c.calls);
    }
}

TEST_F(SaveTarget, PrepareLetsAFailedRemovalThrough) {
    fs->files = {{"p.zvd", false}, {"p.tmp.zvd", false}};
    fs->failRemove = std::make_exception_ptr(FileNameException("Cannot remove 'p.tmp.zvd': busy", "p.tmp.zvd"));
    EXPECT_THROW(ZvFileIO::prepareFileName("p.zvd", ZvFileWriteMode::Overwrite), FileNameException);
}

TEST_F(SaveTarget, RestorePassesTheTemporaryFirst) {
    fs->files = {{"d/p.tmp.zvd", false}, {"d/p.zvd", false}};
    EXPECT_TRUE(ZvFileIO::restoreFileName("d/p.zvd", "d/p.tmp.zvd", ZvFileWriteMode::Overwrite));
    EXPECT_EQ(fs->calls, Calls{"replaceFile d/p.tmp.zvd d/p.zvd"});
    EXPECT_FALSE(ZvFileIO::restoreFileName("d/p.zvd", "d/p.tmp.zvd", ZvFileWriteMode::Overwrite))
        << "a failed replacement is reported";

    fs->calls.clear();
    EXPECT_TRUE(ZvFileIO::restoreFileName("d/p.zvd", "d/p.zvd", ZvFileWriteMode::Overwrite));
    for (const ZvFileWriteMode mode : {ZvFileWriteMode::UpdateSelected, ZvFileWriteMode::UpdateAll}) {
        EXPECT_TRUE(ZvFileIO::restoreFileName("d/p.zvd", "d/p.tmp.zvd", mode));
    }
    EXPECT_TRUE(fs->calls.empty());
}

} // namespace
} // namespace Zorvan
