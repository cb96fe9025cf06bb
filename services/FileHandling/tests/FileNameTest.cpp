// FileName's split into folder, leaf and extension, and the names derived
// from it, for ordinary and odd names. (That a name comes back the same
// from its text, and that its parts and the names derived from it keep
// their folder, is checked on every input of the file name fuzzer's
// corpus, which the tests replay.)

#include <gtest/gtest.h>

#include "FileHandling/FileName.h"

namespace Zorvan {
namespace {

TEST(FileName, SplitsEveryKindOfName) {
    // The name, its folder, leaf and extension, and the name with extension ".tmp" + its extension.
    struct Case { const char* path; const char* folder; const char* leaf; const char* extension; const char* replaced; };
    const Case cases[] = {
        {"d/pump.zvd", "d/", "pump.zvd", ".zvd", "d/pump.tmp.zvd"},
        {"pump.zvd", "", "pump.zvd", ".zvd", "pump.tmp.zvd"},
        {"/abs/pump.tar.zvd", "/abs/", "pump.tar.zvd", ".zvd", "/abs/pump.tar.tmp.zvd"},
        {"d/pump", "d/", "pump", "", "d/pump.tmp"},
        {"d.v2/e.x/pump", "d.v2/e.x/", "pump", "", "d.v2/e.x/pump.tmp"},
        {"d/.zvd", "d/", ".zvd", ".zvd", "d/.tmp.zvd"},
        {"pump.", "", "pump.", ".", "pump.tmp."},
        {"d/", "d/", "", "", "d/.tmp"},
        {"", "", "", "", ".tmp"},
        {"///", "///", "", "", "///.tmp"},
        {".", "", ".", ".", ".tmp."},
        {"..", "", "..", "..", ".tmp.."},
        {"d/..", "d/", "..", "..", "d/.tmp.."},
        {"a..b", "", "a..b", ".b", "a..tmp.b"},
        // A backslash separates folders on Windows alone; elsewhere it is a
        // character of a name like any other.
#ifdef _WIN32
        {"C:\\d/e\\pump\\x.zvd", "C:\\d/e\\pump\\", "x.zvd", ".zvd", "C:\\d/e\\pump\\x.tmp.zvd"},
#else
        {"C:\\d/e\\pump\\x.zvd", "C:\\d/", "e\\pump\\x.zvd", ".zvd", "C:\\d/e\\pump\\x.tmp.zvd"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("path \"") + c.path + "\"");
        FileName name(c.path);
        EXPECT_EQ(name.getFolder(), c.folder);
        EXPECT_EQ(name.getLeafName(), c.leaf);
        EXPECT_EQ(name.getExtension(), c.extension);
        name.replaceExtension(".tmp" + name.getExtension());
        EXPECT_EQ(name.toNativeString(), c.replaced);
    }
    EXPECT_EQ(FileName(static_cast<const char*>(nullptr)).toNativeString(), "");
}

} // namespace
} // namespace Zorvan
