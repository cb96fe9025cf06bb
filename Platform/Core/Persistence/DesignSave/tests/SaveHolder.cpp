// Another program saving a design, for the tests of the one-writer lock
// between processes: `DesignSave_holder FILE` begins a save of FILE, says
// "locked" on its standard output, waits until its standard input ends and
// then commits the save with the data revision "held". Exits with 1 and the
// refusal on its error output when the save cannot be made.
#include <exception>
#include <iostream>
#include <string>

#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: DesignSave_holder FILE\n";
        return 2;
    }
    try {
        Zorvan::DesignSave save = Zorvan::DesignSave::begin(argv[1], {});
        std::cout << "locked" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        (void)save.commit("held", 1);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
