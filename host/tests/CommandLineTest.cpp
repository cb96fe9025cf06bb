// What zvfile's command line hands its commands, and the usage errors it
// names by what CLI11 holds, at the edges of each value, each followed by
// where to find help.

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "CommandLine.h"

namespace zvfile {
namespace {

using namespace std::chrono_literals;

TEST(CommandLine, ReadsEachValueToItsEdgeAndNamesWhatIsWrong) {
    // The arguments, and the wait they give or the usage error's first line.
    const std::tuple<std::vector<std::string>, std::chrono::milliseconds, std::string> rows[] = {
        {{"save", "a.zvd", "--wait", "3600"}, 3600s, ""},
        {{"clean", "a.zvd", "--wait", "0.25"}, 250ms, ""},
        {{"autosave", "a.zvd"}, kDefaultLockWait, ""},
        {{"save", "a.zvd", "--wait", "3600.5"}, 0ms, "--wait: '3600.5' is not a number of seconds from 0 to 3600"},
        {{"save", "a.zvd", "--wait"}, 0ms, "--wait needs a value"},
        {{"save", "a.zvd", "--wait", "-1"}, 0ms, "--wait: '-1' is not a number of seconds from 0 to 3600"},
        {{"save", "a.zvd", "--objects", "9223372036854775808"}, 0ms,
         "--objects: '9223372036854775808' is not a whole number from 0 to 100000000"},
        {{"save", "a.zvd", "--objects", "100000001"}, 0ms, "--objects: '100000001' is not a whole number from 0 to 100000000"},
        {{"save", "a.zvd", "--objects", "-1"}, 0ms, "--objects: '-1' is not a whole number from 0 to 100000000"},
        {{"save", "a.zvd", "--objects", "abc"}, 0ms, "--objects: 'abc' is not a whole number from 0 to 100000000"},
        {{"save", "a.zvd", "--mode", "2"}, 0ms, "--mode: '2' is not one of overwrite, update-selected, update-all"},
        {{"save", "a.zvd", "--select", "valves,foo"}, 0ms, "--select: 'foo' is not one of pipes, valves, pumps, sensors"},
        {{"save"}, 0ms, "FILE is required"},
        {{"save", "a.zvd", "--data-revision-number", "3"}, 0ms, "--data-revision-number needs --data-revision"},
        {{"info", "a.zvd", "b.zvd"}, 0ms, "unexpected argument: b.zvd"},
        {{}, 0ms, "a command is required: save, info, autosave, recover, clean or demo"},
    };
    const Translation english = [](const char*, const char* text) { return std::string(text); };
    for (const auto& [args, wait, error] : rows) {
        std::ostringstream out, err;
        const CommandLine line = readCommandLine(args, "zvfile 1", english, out, err);
        SCOPED_TRACE(err.str());
        if (error.empty()) {
            ASSERT_TRUE(line.invocation);
            EXPECT_EQ(line.invocation->lockWait, wait);
        } else {
            EXPECT_EQ(line.exitCode, kUsage);
            const std::string help = args.empty() ? "zvfile" : "zvfile " + args[0];
            EXPECT_EQ(err.str(), "zvfile: " + error + "\nTry '" + help + " --help' for more information.\n");
        }
    }
}

} // namespace
} // namespace zvfile
