// Deleting autosave copies.

#include <gtest/gtest.h>

#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/FakeFileSystem.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {
namespace {

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
