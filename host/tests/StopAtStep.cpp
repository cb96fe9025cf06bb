// Built into the commands module that the crash and contention tests run,
// never into the one installed: a save or autosave stops for good at the
// step ZVFILE_PAUSE_AT names ("prepared", "writing", ...), after saying so
// on standard error, so that the test can kill it right there.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "Commands.h"

namespace {

[[maybe_unused]] const bool installed = [] {
    zvfile::setStepHook([](const std::string& step) {
        const char* stopAt = std::getenv("ZVFILE_PAUSE_AT");
        if (stopAt != nullptr && step == stopAt) {
            std::cerr << "paused at " << step << std::endl;
            for (;;) {
                std::this_thread::sleep_for(std::chrono::hours(1));
            }
        }
    });
    return true;
}();

} // namespace
