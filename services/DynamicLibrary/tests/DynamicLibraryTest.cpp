// Loading the test module beside the test program (ZV_TEST_MODULE), and what
// a failure to load says.

#include <gmock/gmock.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "DynamicLibrary/DynamicLibrary.h"
#include "FileHandling/testing/TempFolder.h"

namespace Zorvan {
namespace {

std::filesystem::path testModule() { return DynamicLibrary::programFile().parent_path() / ZV_TEST_MODULE; }

int programFunction() { return 0; }

TEST(DynamicLibrary, CallsAModulesFunctionForAsLongAsTheObjectLives) {
    DynamicLibrary first = DynamicLibrary::open(testModule());
    const DynamicLibrary moved(std::move(first));
    { const DynamicLibrary emptied = std::move(first); } // closes nothing: the module stays loaded

    auto* answer = moved.symbol<int(int)>("zvTestModuleAnswer");
    EXPECT_EQ(answer(1), 43);
    EXPECT_TRUE(std::filesystem::equivalent(DynamicLibrary::fileHolding(answer), testModule()));
    EXPECT_TRUE(std::filesystem::equivalent(DynamicLibrary::fileHolding(&programFunction),
                                            DynamicLibrary::programFile()));
}

// Every failure is a std::runtime_error that names the file first and then
// gives a reason (and, for a function, its name).
TEST(DynamicLibrary, AFailureNamesTheFileAndSaysWhy) {
    using namespace ::testing;
    const Zorvan::testing::TempFolder folder;
    const std::filesystem::path missing = folder.root() / "missing.module", text = folder.root() / "text.module";
    folder.write("text.module", "not a library\n");
    const auto namesAndSaysWhy = [](const std::filesystem::path& file, const std::string& words = "") {
        const std::string front = file.string() + ": ";
        return ThrowsMessage<std::runtime_error>(AllOf(StartsWith(front), HasSubstr(words), SizeIs(Gt(front.size() + 5))));
    };
    EXPECT_THAT([&] { DynamicLibrary::open(missing); }, namesAndSaysWhy(missing));
    EXPECT_THAT([&] { DynamicLibrary::open(text); }, namesAndSaysWhy(text));
    EXPECT_THAT([] { (void)DynamicLibrary::open(testModule()).symbol<void()>("zvNoSuchFunction"); },
                namesAndSaysWhy(testModule(), "zvNoSuchFunction"));
}

} // namespace
} // namespace Zorvan
