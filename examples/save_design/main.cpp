// A host of the installed package: saves a design of three pipes to
// pump.zvd, reopens it and prints what it reads back, then opens a design
// written by a newer version of the software, which is refused. Run it in
// an empty folder.
#include <exception>
#include <iostream>
#include <string>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace {

// Saves `file` anew with three pipes. Nothing is in the file before commit()
// returns; a save left by an exception leaves the file as it was.
void savePipes(const std::string& file) {
    Zorvan::DesignSaveOptions options;
    options.mode = Zorvan::ZvFileWriteMode::Overwrite;
    Zorvan::DesignSave save = Zorvan::DesignSave::begin(file, options);
    Zorvan::DesignPart pipes = save.part(); // one per part of the design: pipes, valves, ...
    for (const char* size : {"DN50", "DN80", "DN100"}) {
        pipes.save({Zorvan::Identifier::create().number, "Pipe", size});
    }
    save.createGroup();
    const Zorvan::SaveResult saved = save.commit("first issue", 1);
    std::cout << "saved '" << file << "' (software revision " << saved.revision << ")\n";
}

// Opens `file` and prints its metadata and objects; a design that cannot be
// opened is reported as the user sees it.
void showDesign(const std::string& file) {
    try {
        // Refuses a design of a newer version.
        const Zorvan::OpenedDesign design = Zorvan::openDesign(file);
        std::cout << file << ": version " << design.version << (design.current ? ", current" : ", older") << "\n"
                  << "  created with revision " << design.createdRevision << ", last saved with revision "
                  << design.lastSavedRevision << "\n"
                  << "  data revision: " << design.dataRevision << " (" << design.dataRevisionNumber << ")\n"
                  << "  identifiers: next " << design.nextIdentifier << " in domain " << design.identifierDomain
                  << "\n";
        design.forEachObject([](const Zorvan::SerializationTransferObject& object) {
            std::cout << "  object " << object.id() << ": " << object.type() << " " << object.payload() << "\n";
            return true;
        });
    } catch (const Zorvan::DesignRefusedException& e) {
        std::cout << e.what() << "\n";
    }
}

} // namespace

int main() {
    try {
        savePipes("pump.zvd");
        showDesign("pump.zvd");
        // A design of the next format version, as a newer release writes it.
        Zorvan::SqliteDesignStore::openForWriting("future.zvd", Zorvan::SqliteDesignStore::kCurrentVersion + 1)
            ->commit();
        showDesign("future.zvd");
    } catch (const std::exception& e) {
        std::cerr << "consumer: " << e.what() << "\n";
        return 1;
    }
}
