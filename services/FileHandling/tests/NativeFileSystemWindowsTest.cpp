// The native file system on Windows: the read-only attribute, files held
// open by other programs, and what a replacement keeps of the destination.

#include <gtest/gtest.h>

#include "Common/WindowsApi.h"

#include <chrono>
#include <thread>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/testing/HeldOpen.h"
#include "FileHandling/testing/TempFolder.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using testing::attributesOf;
using testing::HeldOpen;
using testing::setAttributes;
using testing::TempFolder;

TEST(NativeFileSystemWindows, ReadOnlyIsTheAttributeOfAFile) {
    const TempFolder dir;
    const std::string file = dir.write("a.zvd", "x");
    for (const auto& [attributes, readOnly] : {std::pair<DWORD, bool>{FILE_ATTRIBUTE_READONLY, true},
                                               {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, true},
                                               {FILE_ATTRIBUTE_HIDDEN, false}, {FILE_ATTRIBUTE_NORMAL, false}}) {
        SCOPED_TRACE("attributes " + std::to_string(attributes));
        ASSERT_TRUE(setAttributes(file, attributes));
        EXPECT_EQ(FileUtilities::isReadOnly(file), readOnly);
    }
    // On a folder the attribute only marks a customised view.
    const std::string folder = dir.path("folder");
    fs::create_directory(TempFolder::fromUtf8(folder));
    ASSERT_TRUE(setAttributes(folder, FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(FileUtilities::isReadOnly(folder));
}

// A file held open for a moment is waited for and removed; one held past
// the brief wait, or read-only, is neither removed nor replaced, and the
// file meant to replace it stays.
TEST(NativeFileSystemWindows, AFileHeldOrReadOnlyIsNeitherRemovedNorReplaced) {
    const TempFolder dir;
    const std::string moment = dir.write("moment.zvd", "old");
    HeldOpen scanner(moment);
    std::thread done([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        scanner.release();
    });
    EXPECT_NO_THROW(FileUtilities::remove(moment));
    done.join();
    EXPECT_FALSE(fs::exists(TempFolder::fromUtf8(moment)));
    const std::string held = dir.write("held.zvd", "old");
    const HeldOpen viewer(held);
    ASSERT_TRUE(viewer.valid());
    const std::string readOnly = dir.write("read-only.zvd", "old");
    ASSERT_TRUE(setAttributes(readOnly, FILE_ATTRIBUTE_READONLY));
    for (const std::string& file : {held, readOnly}) {
        SCOPED_TRACE(file);
        try {
            FileUtilities::remove(file);
            ADD_FAILURE() << "the file was removed";
        } catch (const FileNameException& e) {
            EXPECT_EQ(e.path(), file);
            EXPECT_TRUE(e.code());
            EXPECT_GT(std::string(e.what()).size(), ("Cannot remove '" + file + "': ").size());
        }
        const std::string temporary = dir.write("a.tmp.zvd", "new");
        EXPECT_FALSE(FileUtilities::replaceFile(temporary, file));
        EXPECT_EQ(TempFolder::read(file), "old");
        EXPECT_EQ(TempFolder::read(temporary), "new");
    }
}

// The replacement takes the destination's hidden and system attributes,
// whatever it had itself; a destination without them gets a replacement
// without them. (Not-indexed is kept too, but Wine does not store it.)
TEST(NativeFileSystemWindows, ReplaceKeepsTheDestinationsAttributes) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    struct Case {
        const char* name;
        DWORD destination;
        DWORD source;
    };
    const Case cases[] = {
        {"hidden", FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_NORMAL},
        {"hidden system", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_NORMAL},
        {"system", FILE_ATTRIBUTE_SYSTEM, FILE_ATTRIBUTE_HIDDEN},
        {"plain over hidden", FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TempFolder dir;
        const std::string target = dir.write("a.zvd", "old");
        ASSERT_TRUE(setAttributes(target, c.destination));
        const std::string temporary = dir.write("a.tmp.zvd", "new");
        ASSERT_TRUE(setAttributes(temporary, c.source));

        ASSERT_TRUE(FileUtilities::replaceFile(temporary, target));
        EXPECT_EQ(TempFolder::read(target), "new");
        EXPECT_EQ(attributesOf(target) & kKept, c.destination & kKept) << "attributes " << attributesOf(target);
        EXPECT_FALSE(fs::exists(TempFolder::fromUtf8(temporary)));
    }
}

TEST(NativeFileSystemWindows, ANameThatIsNotUtf8NamesNoFile) {
    const TempFolder dir;
    const std::string name = dir.path("a") + "\xFF.zvd";
    EXPECT_FALSE(FileUtilities::exists(name, false));
    EXPECT_FALSE(FileUtilities::isReadOnly(name));
    EXPECT_THROW(FileUtilities::remove(name), FileNameException);
    EXPECT_FALSE(FileUtilities::replaceFile(dir.write("b.zvd", "x"), name));
}

} // namespace
} // namespace Zorvan
