// The whole save road over real files: check, prepare, write, metadata,
// restore, then open again.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "FileHandling/FileUtilities.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#include "TestSupport.h"

namespace Zorvan {
namespace {

void writeFile(const std::string& path, const std::string& content) { std::ofstream(path) << content; }

std::string readFile(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

// Saves `objects` as the host does and writes them to the prepared file as
// text lines.
void save(const std::string& target, int objects) {
    const ZvFileWriteMode mode = ZvFileWriteMode::Overwrite;
    std::string error;
    ASSERT_TRUE(ZvFileIO::checkSavePossible(target, mode, &error)) << error;
    const FileName written = ZvFileIO::prepareFileName(target, mode);

    auto store = std::make_shared<MemoryDesignStore>();
    DesignIOModule module(store, mode, true);
    for (int id = 1; id <= objects; ++id) {
        SerializationTransferObject object(id, "Pipe", "p" + std::to_string(id));
        module.save(object);
    }
    ZvFileIO::writeMetaData(store, "rev", 3, mode, "");
    std::ostringstream content;
    for (const auto& [id, object] : store->objects) {
        content << id << ' ' << object.payload() << '\n';
    }
    writeFile(written.toNativeString(), content.str());
    ASSERT_TRUE(ZvFileIO::restoreFileName(target, written, mode));
}

TEST(SaveRoad, RewritesAnExistingFileThroughATemporaryOne) {
    testing::TempDir dir;
    const std::string target = dir.file("pump.zvd");
    const std::string temporary = dir.file("pump.tmp.zvd");

    save(target, 1);
    EXPECT_EQ(readFile(target), "1 p1\n");

    writeFile(temporary, "left over from a crash");
    std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    save(target, 2);
    EXPECT_EQ(readFile(target), "1 p1\n2 p2\n");
    EXPECT_FALSE(std::filesystem::exists(temporary));
    EXPECT_EQ(std::filesystem::status(target).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    std::filesystem::permissions(target, std::filesystem::perms::owner_read);
    std::string error;
    EXPECT_FALSE(ZvFileIO::checkSavePossible(target, ZvFileWriteMode::Overwrite, &error));
    EXPECT_EQ(error, "It is not possible to overwrite a readonly file.");
}

} // namespace
} // namespace Zorvan
