// Checks the version of a design held in memory and prints the outcome;
// with the gettext catalogue, also a message from the installed German
// catalogue.
#include <iostream>
#include <memory>

#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#ifdef LOCALE_DIR
#include "Translation/GettextCatalogue.h"
#endif

int main() {
    const auto store = std::make_shared<Zorvan::MemoryDesignStore>();
    const Zorvan::ZvFileIO io;
    std::cout << std::boolalpha << "current design: readable " << io.verifyZVVersion(store, nullptr) << ", current "
              << io.isCurrentZVVersion(store) << "\n";
    store->fileVersion = Zorvan::MemoryDesignStore::kCurrentVersion + 1;
    std::cout << "newer design: readable " << io.verifyZVVersion(store, nullptr) << "\n";
#ifdef LOCALE_DIR
    const Zorvan::GettextCatalogue german(MESSAGE_DOMAIN, LOCALE_DIR, {"de"});
    std::cout << german.lookup("ZvFileIO", "Error reading file version.", nullptr, -1).value_or("(none)") << "\n";
#endif
}
