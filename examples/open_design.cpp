// The smallest host: checks whether a design can be opened and logs its
// version line. The design here lives in memory.
#include <iostream>
#include <memory>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"

int main() {
    auto store = std::make_shared<Zorvan::MemoryDesignStore>();
    store->createdRevision = "r1";
    store->lastSavedRevision = "r2";
    const Zorvan::ZvFileIO io;
    try {
        const bool readable = io.verifyZVVersion(store, nullptr);
        std::cout << "readable: " << std::boolalpha << readable << ", current: " << io.isCurrentZVVersion(store)
                  << "\n";
        Zorvan::ZvFileIO::logFileVersionInfo("design.zvd", store);
    } catch (const Zorvan::FileOpenException& e) {
        std::cerr << "cannot open: " << e.what() << "\n";
        return 1;
    }
}
