// FileOpenException as a value.

#include <gtest/gtest.h>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"

namespace Zorvan {
namespace {

// Its moves copy (the base offers copying only): a moved exception is whole.
TEST(FileOpenExceptionValue, MovesKeepMessageTypeAndLocation) {
    const auto type = static_cast<FileOpenException::Type>(4);
    const FileOpenException original("bad file", type);
    FileOpenException copy(original);
    FileOpenException moved(std::move(copy));
    FileOpenException moveAssigned("other", FileOpenException::Type::VersionUnreadable);
    moveAssigned = FileOpenException(original);
    for (const FileOpenException* e : {&moved, &moveAssigned}) {
        EXPECT_STREQ(e->what(), "bad file");
        EXPECT_EQ(e->getType(), type);
        EXPECT_EQ(e->location().line(), original.location().line());
        EXPECT_NE(e->log().find("bad file (raised at Platform/Core/Persistence/ZvFileIO/tests/ObjectTest.cpp:"),
                  std::string::npos)
            << e->log();
    }
}

} // namespace
} // namespace Zorvan
