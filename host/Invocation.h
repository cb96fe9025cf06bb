#pragma once
// What the zvfile program hands its commands: one command with the options
// its command line gave. The program itself links none of the tree's
// libraries (a run that only prints help or a usage error must not pay for
// loading them); it parses the command line into an Invocation and calls
// the commands module's entry point (kEntryPoint) with it. Program and
// module come from one build, so a C++ struct is a safe thing to hand over;
// the entry point has C linkage only so that it can be looked up by name.
//
// This header includes nothing of the library: the program compiles
// without the library's headers.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zvfile {

enum ExitCode : int { kDone = 0, kRefused = 1, kUsage = 2 };

// The most objects `save --objects` accepts.
inline constexpr std::int64_t kMaxObjects = 100'000'000;
// How long a save waits for another save of the same design by default.
inline constexpr std::chrono::seconds kDefaultLockWait{10};

enum class Command { Save, Info, Autosave, Recover, Clean, Salvage, Demo };

// The write modes of `save --mode`: the library's ZvFileWriteMode, value for
// value (the commands check it), named so that this header needs none of
// the library's.
enum class SaveMode { Overwrite = 0, UpdateSelected = 1, UpdateAll = 2 };

// The one table of the words `save --mode` takes.
struct ModeWord {
    std::string_view word;
    SaveMode mode;
};
inline constexpr ModeWord kModeWords[] = {
    {"overwrite", SaveMode::Overwrite},
    {"update-selected", SaveMode::UpdateSelected},
    {"update-all", SaveMode::UpdateAll},
};

// The one options type of zvfile: what a command line asks for, and what
// the demo and the tests hand the commands. Every member has an
// initializer, so that one can be made naming only some:
// {.command = Command::Info, .file = "pump.zvd"}.
struct Invocation {
    Command command = Command::Demo;
    // The design file (save, info, autosave, recover, clean, salvage).
    std::string file{};
    // salvage: the new design to write; empty: FILE's name with ".salvaged"
    // before its extension.
    std::string into{};
    // save: how to write, how many objects (negative: as many as the file
    // holds now, 100 for a new file), the parts update-selected saves, the
    // data revision to record.
    SaveMode mode = SaveMode::Overwrite;
    std::int64_t objects = -1;
    std::vector<std::string> select{};
    std::string dataRevision{};
    std::int32_t dataRevisionNumber = 0;
    // save, autosave, recover, clean: how long to wait for another program
    // that is saving the same design.
    std::chrono::milliseconds lockWait = kDefaultLockWait;
    // info, salvage: print JSON.
    bool json = false;
    // demo: the folder for its files; empty: a fresh one in the temporary folder.
    std::string folder{};
    // save, salvage: a progress line on standard error for long runs, when it is a terminal.
    bool progress = true;
    // The library's log lines on standard error: 0 none, 1 level and
    // message, 2 also where in the source they come from.
    int verbosity = 0;
};

// The commands module's entry point: runs `invocation` writing to standard
// output and standard error, and returns the exit code. Never throws: a
// failure is one line "zvfile: <sentence>" on standard error and kRefused.
using EntryPoint = int(const Invocation& invocation);
inline constexpr char kEntryPoint[] = "zvfile_run";

// The module's translation of one of the program's own texts into the
// user's language, for when that is not English.
using TranslateEntry = void(const char* context, const char* sourceText, std::string& translated);
inline constexpr char kTranslateEntry[] = "zvfile_translate";

} // namespace zvfile
