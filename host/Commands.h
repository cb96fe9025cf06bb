#pragma once
// The commands of zvfile, the reference host: each one drives the library
// and the design store exactly as an application does, writes what it did
// to `out`, and returns the process exit code. A command that must refuse
// (read-only target, newer or unreadable file) throws Refusal with one
// sentence naming the file.

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace zvfile {

enum ExitCode : int { kDone = 0, kRefused = 1, kUsage = 2 };

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
};

int save(const SaveOptions& options, std::ostream& out);
int info(const std::string& file, bool json, std::ostream& out);
int autosave(const std::string& file, std::ostream& out);
int clean(const std::string& file, std::ostream& out);

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
