#pragma once
// The program apart from how its system starts it: the entry point of each
// system (ProgramPosix.cpp, ProgramWindows.cpp) hands over the arguments as
// UTF-8 text, whatever form the system gives them in, and readies standard
// output and standard error for UTF-8 text.

#include <string>
#include <vector>

namespace zvfile {

// Runs the command line `args` (without the program's name) and returns
// the exit code.
int runProgram(const std::vector<std::string>& args);

} // namespace zvfile
