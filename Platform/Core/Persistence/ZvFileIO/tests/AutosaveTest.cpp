// Naming and deleting autosave copies.

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {
namespace {

TEST(Autosave, NameInsertsBakBeforeTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"d/pump.zvd", "d/pump.bak.zvd"},
        {"d/pump", "d/pump.bak"},
        {"d.v2/pump.tar.zvd", "d.v2/pump.tar.bak.zvd"},
        {"pump.", "pump.bak."},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(ZvFileIO().constructAutosaveFileName(name).toNativeString(), expected) << name;
    }
}

TEST(Autosave, DeleteReportsWhetherACopyExisted) {
    auto fs = std::make_shared<testing::FakeFileSystem>();
    const ScopedFileSystem installed(fs);
    ZvFileIO io;

    EXPECT_FALSE(io.deleteAssociatedAutosaveFile("d/p.zvd"));

    fs->files["d/p.bak.zvd"] = false;
    EXPECT_TRUE(io.deleteAssociatedAutosaveFile("d/p.zvd"));
    EXPECT_FALSE(fs->files.contains("d/p.bak.zvd"));

    fs->files["d/p.bak.zvd"] = false;
    fs->failRemove = std::make_exception_ptr(
        FileNameException("Cannot remove", "d/p.bak.zvd", std::make_error_code(std::errc::permission_denied)));
    EXPECT_TRUE(io.deleteAssociatedAutosaveFile("d/p.zvd")) << "a copy that cannot be removed existed";
}

} // namespace
} // namespace Zorvan
