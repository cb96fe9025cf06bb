#pragma once
// zvfile's command line: the command it asks for, or the help, version or
// usage error it is answered with. Part of the program, which links none
// of the tree's libraries (see Invocation.h); its test links it alone.

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Invocation.h"

namespace zvfile {

// One of the program's texts in the user's language.
using Translation = std::function<std::string(const char* context, const char* sourceText)>;

// What a command line asks for: the command to run, or the exit code once
// the help, the version or a usage error it asked for is printed.
struct CommandLine {
    std::optional<Invocation> invocation;
    int exitCode = kDone;
};

// Reads the program's arguments (without its name); `version` is what
// --version prints. The help and the version go to `out`, a usage error to
// `err`.
CommandLine readCommandLine(std::vector<std::string> args, const std::string& version, const Translation& translate,
                            std::ostream& out, std::ostream& err);

} // namespace zvfile
