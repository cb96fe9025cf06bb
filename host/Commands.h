#pragma once
// The commands of zvfile, the reference host: each one drives the save API
// exactly as an application does, writes what it did to `out`, and returns
// the process exit code. A command that must refuse (read-only target,
// newer or unreadable file) throws DesignRefusedException, or Refusal for
// what the host itself refuses, with one sentence naming the file.

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Invocation.h"
#include "Translation/Translator.h"

namespace zvfile {

// A sentence of the host in the user's language (context "zvfile").
inline std::string translate(const char* context, const char* sourceText) {
    return Zorvan::Translator::translate(context, sourceText, nullptr, -1);
}

// The version of the members of `info --json`: raised when one changes its
// meaning or goes away (new members do not raise it).
inline constexpr int kInfoSchema = 2;

class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Called with the name of each step of a save or autosave as it is reached
// ("locked", "prepared", "writing", "committed"). The installed commands
// module does nothing there; the build the crash and contention tests run
// stops the process at a step they name (tests/StopAtStep.cpp).
void stepReached(std::string_view step);

// The commands, each through the save API alone. A save, an autosave, a
// recovery and a clean wait up to invocation.lockWait for another program
// that is saving the design, with a note on standard error.
int save(const Invocation& invocation, std::ostream& out);
int info(const Invocation& invocation, std::ostream& out);
// Writes the design's objects as they are to its autosave copy (zvfile
// holds no unsaved changes) and prints the copy's name.
int autosave(const Invocation& invocation, std::ostream& out);
// Saves what the autosave copy holds as the design when the copy is newer
// than it (or of a design never saved), then deletes the copy.
int recover(const Invocation& invocation, std::ostream& out);
// Deletes the autosave copy; says "deleted" only when its own removal of the
// copy took effect.
int clean(const Invocation& invocation, std::ostream& out);

// Writes what can be read of the design to a new design and reports what
// came back and what did not (as JSON with invocation.json). Done (0) when
// the new design is written, whatever was lost.
int salvage(const Invocation& invocation, std::ostream& out);

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
