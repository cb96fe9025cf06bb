// Loading the test module beside the test program (ZV_TEST_MODULE), and what
// a failure to load says.

#include <gtest/gtest.h>

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
    EXPECT_EQ(first.file(), testModule());
    const DynamicLibrary moved(std::move(first));
    { const DynamicLibrary emptied = std::move(first); } // closes nothing: the module stays loaded

    auto* answer = moved.symbol<int(int)>("zvTestModuleAnswer");
    EXPECT_EQ(answer(1), 43);
    EXPECT_TRUE(std::filesystem::equivalent(DynamicLibrary::fileHolding(answer), testModule()));
    EXPECT_TRUE(std::filesystem::equivalent(DynamicLibrary::fileHolding(&programFunction),
                                            DynamicLibrary::programFile()));
}

// Every failure is a std::runtime_error that names the file first and then
// gives a reason.
TEST(DynamicLibrary, AFailureNamesTheFileAndSaysWhy) {
    const testing::TempFolder folder;
    const std::filesystem::path missing = folder.root() / "missing.module";
    const std::filesystem::path text = folder.root() / "text.module";
    folder.write("text.module", "not a library\n");
    // The file, the attempt, and what the message says besides the file's name.
    const std::tuple<std::filesystem::path, std::function<void()>, std::string> cases[] = {
        {missing, [&] { DynamicLibrary::open(missing); }, ""},
        {text, [&] { DynamicLibrary::open(text); }, ""},
        {testModule(), [] { (void)DynamicLibrary::open(testModule()).symbol<void()>("zvNoSuchFunction"); },
         "zvNoSuchFunction"},
    };
    for (const auto& [file, attempt, words] : cases) {
        SCOPED_TRACE(file.string() + " " + words);
        try {
            attempt();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            const std::string message = e.what();
            const std::string front = file.string() + ": ";
            EXPECT_EQ(message.rfind(front, 0), 0u) << message;
            EXPECT_GT(message.size(), front.size() + 5) << "a reason: " << message;
            EXPECT_NE(message.find(words), std::string::npos) << message;
        }
    }
}

} // namespace
} // namespace Zorvan
