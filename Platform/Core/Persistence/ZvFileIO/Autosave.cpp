// Naming and deleting the autosave copy of a design file.

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {

FileName ZvFileIO::constructAutosaveFileName(const FileName& fileName) const {
    FileName autosave(fileName);
    autosave.replaceExtension(".bak" + fileName.getExtension());
    return autosave;
}

bool ZvFileIO::deleteAssociatedAutosaveFile(const FileName& fileName) {
    const FileName autosave = constructAutosaveFileName(fileName);
    if (!FileUtilities::exists(autosave, false)) {
        return false;
    }
    try {
        FileUtilities::remove(autosave);
    } catch (const FileNameException&) {
        // A copy that cannot be removed is harmless: the next autosave
        // overwrites it. The service has logged why.
    }
    return true;
}

} // namespace Zorvan
