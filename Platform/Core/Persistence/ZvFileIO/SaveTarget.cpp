// Checking and preparing the target of a save, and putting a temporary
// file in the target's place afterwards.

#include "FileHandling/FileUtilities.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Translation/Translator.h"

namespace Zorvan {
namespace {

void setMessage(std::string* errorMessage, const char* sourceText) {
    if (errorMessage != nullptr) {
        *errorMessage = Translator::translate("DesignIO", sourceText, nullptr, -1);
    }
}

} // namespace

bool ZvFileIO::checkSavePossible(const FileName& fileName, ZvFileWriteMode /*mode*/, std::string* errorMessage) {
    // A leaf that is nothing but an extension (".zvd", or nothing at all)
    // names no file; decided before looking at the disk.
    if (fileName.getExtension() == fileName.getLeafName()) {
        setMessage(errorMessage,
                   ZV_TRANSLATE_NOOP("DesignIO", "The file must have a name. An empty filename is not allowed."));
        return false;
    }
    if (!FileUtilities::exists(fileName, false) || !FileUtilities::isReadOnly(fileName)) {
        return true;
    }
    setMessage(errorMessage, ZV_TRANSLATE_NOOP("DesignIO", "It is not possible to overwrite a readonly file."));
    return false;
}

FileName ZvFileIO::temporaryName(FileName fileName) {
    fileName.replaceExtension(".tmp" + fileName.getExtension());
    return fileName;
}

bool ZvFileIO::isTemporaryName(const FileName& fileName) {
    return fileName.getLeafName().find(".tmp.") != std::string::npos;
}

FileName ZvFileIO::prepareFileName(const FileName& fileName, ZvFileWriteMode mode) {
    FileName target(fileName);
    if (mode != ZvFileWriteMode::Overwrite || !FileUtilities::exists(target, false)) {
        return target;
    }
    // The existing file stays whole until restoreFileName puts the new one
    // in its place.
    target = temporaryName(target);
    if (FileUtilities::exists(target, false)) {
        FileUtilities::remove(FileName(target.toNativeString()));
    }
    return target;
}

bool ZvFileIO::restoreFileName(const FileName& target, const FileName& temporary, ZvFileWriteMode mode) {
    if (mode != ZvFileWriteMode::Overwrite || !(temporary != target)) {
        return true;
    }
    return FileUtilities::replaceFile(temporary, target);
}

} // namespace Zorvan
