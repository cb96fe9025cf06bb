// Another program saving a design, for the tests of the one-writer lock
// between processes: `DesignSave_holder FILE HELD GO` begins a save of FILE,
// makes the file HELD, waits until the file GO exists and then commits the
// save with the data revision "held". Exits with 1 and the refusal on its
// error output when the save cannot be made, with 3 when GO does not come
// within a minute.
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: DesignSave_holder FILE HELD GO\n";
        return 2;
    }
    try {
        Zorvan::DesignSave save = Zorvan::DesignSave::begin(argv[1], {});
        std::ofstream(argv[2]).flush();
        for (int waited = 0; !std::filesystem::exists(argv[3]); ++waited) {
            if (waited == 6000) {
                return 3;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        (void)save.commit("held", 1);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
