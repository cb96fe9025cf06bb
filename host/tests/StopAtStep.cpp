// Built into the commands module of the crash and contention tests, never
// into the installed one: a save or autosave says so and stops for good at
// the step ZVFILE_PAUSE_AT names ("prepared", "writing", ...), for the test
// to kill it there.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "Commands.h"

void zvfile::stepReached(std::string_view step) {
    if (const char* stopAt = std::getenv("ZVFILE_PAUSE_AT"); stopAt != nullptr && step == stopAt) {
        std::cerr << "paused at " << step << std::endl;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
}
