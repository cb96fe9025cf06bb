#pragma once
// The commands of zvfile, the reference host: each one drives the library
// and the design store exactly as an application does, writes what it did
// to `out`, and returns the process exit code. A command that must refuse
// (read-only target, newer or unreadable file) throws Refusal with one
// sentence naming the file.

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Invocation.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Translation/Translator.h"

namespace zvfile {

// A sentence of the host in the user's language (context "zvfile").
inline std::string translate(const char* context, const char* sourceText) {
    return Zorvan::Translator::translate(context, sourceText, nullptr, -1);
}

// The version of the members of `info --json`: raised when one changes its
// meaning or goes away (new members do not raise it).
inline constexpr int kInfoSchema = 1;

class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SaveOptions {
    std::string file;
    Zorvan::ZvFileWriteMode mode = Zorvan::ZvFileWriteMode::Overwrite;
    // Objects the saved design holds; negative: as many as the file holds
    // now (100 for a new file).
    std::int64_t objects = -1;
    // Parts that take part in an UpdateSelected save.
    std::vector<std::string> select;
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    // A progress line on standard error while saving, when it is a terminal.
    bool progress = true;
    // How long to wait for another program that is saving the same design.
    std::chrono::milliseconds lockWait = kDefaultLockWait;
};

// Test seam: called with the name of each step of a save or autosave as it
// is reached ("locked", "prepared", "writing", "committed", "copied"), so
// that a test can look at the files or start a rival save right there.
// Tests of whole processes run a build of the commands module that installs
// a hook stopping the process at a step (tests/StopAtStep.cpp); the
// installed module has none.
using StepHook = std::function<void(const std::string& step)>;
void setStepHook(StepHook hook);

// A design is saved, and an autosave copy written, under the design's
// one-writer lock: a second save of the same design waits for the first
// (up to lockWait, with a note on standard error) or is refused as busy.
int save(const SaveOptions& options, std::ostream& out);
int info(const std::string& file, bool json, std::ostream& out);
int autosave(const std::string& file, std::ostream& out,
             std::chrono::milliseconds lockWait = kDefaultLockWait);
// Deletes the autosave copy under the design's one-writer lock (waiting up
// to lockWait for a save or autosave), so that it never races an autosave;
// says "deleted" only when its own removal of the copy took effect.
int clean(const std::string& file, std::ostream& out,
          std::chrono::milliseconds lockWait = kDefaultLockWait);

// Runs the command `invocation` names, as the commands module's entry point
// does (which also installs the user's language first): what it did goes
// to `out`, a refusal or failure is one line on `err`.
int run(const Invocation& invocation, std::ostream& out, std::ostream& err);

// Runs `command`, turning a Refusal or any other failure into one line
// "zvfile: <sentence>" on `err` and exit code 1.
template <class Command>
int guarded(Command&& command, std::ostream& err) {
    try {
        return command();
    } catch (const std::exception& e) {
        err << "zvfile: " << e.what() << "\n";
        return kRefused;
    }
}

} // namespace zvfile
