// Built into the commands module of the crash test, never into the installed
// one: a save or autosave says so and is killed at the step ZVFILE_STOP_AT
// names ("prepared", "writing", ...), by the system as a crash or the task
// manager would kill it, with nothing flushed or closed on the way.

#include <cstdlib>
#include <iostream>

#ifdef _WIN32
#include "Common/WindowsApi.h"
#else
#include <csignal>
#endif

#include "Commands.h"

void zvfile::stepReached(std::string_view step) {
    if (const char* stopAt = std::getenv("ZVFILE_STOP_AT"); stopAt != nullptr && step == stopAt) {
        std::cerr << "stopped at " << step << std::endl;
#ifdef _WIN32
        ::TerminateProcess(::GetCurrentProcess(), 137);
#else
        std::raise(SIGKILL);
#endif
    }
}
