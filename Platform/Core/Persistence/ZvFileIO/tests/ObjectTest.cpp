// The ZvFileIO object's map share, and FileOpenException as a value.

#include <gtest/gtest.h>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {
namespace {

TEST(ZvFileIOObject, SharesItsMapThroughCopiesAndAssignment) {
    auto map = std::make_shared<LoadRefactoringMap>();
    {
        ZvFileIO io(map);
        EXPECT_EQ(map.use_count(), 2);
        {
            const ZvFileIO copy(io);
            EXPECT_EQ(map.use_count(), 3);
        }
        EXPECT_EQ(map.use_count(), 2);

        ZvFileIO other;
        other = io;
        EXPECT_EQ(map.use_count(), 3);
        other = ZvFileIO(); // a temporary is copied: other now holds an empty map
        EXPECT_EQ(map.use_count(), 2);

        auto& self = io;
        io = self;
        EXPECT_EQ(map.use_count(), 2);
    }
    EXPECT_EQ(map.use_count(), 1);
}

TEST(FileOpenExceptionValue, CopiesAndMovesKeepMessageTypeAndLocation) {
    const auto type = static_cast<FileOpenException::Type>(4);
    const FileOpenException original("bad file", type);
    FileOpenException copy(original);
    FileOpenException moved(std::move(copy));
    FileOpenException assigned("other", FileOpenException::Type::VersionUnreadable);
    assigned = moved;
    FileOpenException moveAssigned("other", FileOpenException::Type::VersionUnreadable);
    moveAssigned = std::move(moved);
    for (const FileOpenException* e : {&assigned, &moveAssigned}) {
        EXPECT_STREQ(e->what(), "bad file");
        EXPECT_EQ(e->getType(), type);
        EXPECT_EQ(e->location().line(), original.location().line());
        EXPECT_NE(e->log().find("bad file (raised at Platform/Core/Persistence/ZvFileIO/tests/ObjectTest.cpp:"),
                  std::string::npos)
            << e->log();
    }
    try {
        throw original;
    } catch (const std::exception& e) {
        EXPECT_NE(dynamic_cast<const FileOpenException*>(&e), nullptr);
    }
}

} // namespace
} // namespace Zorvan
