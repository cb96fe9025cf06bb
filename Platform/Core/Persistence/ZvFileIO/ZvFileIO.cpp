// The ZvFileIO object, the library's module state and the checks made
// before a design file is read.

#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ModuleState.h"
#include "Translation/Translator.h"

namespace Zorvan {
namespace internal {
namespace {

// Module state: namespace-scope objects are constructed when the library
// is loaded and destroyed when it is unloaded.
const Logging g_moduleLogger(__FILE__);
boost::mutex g_identifierMutex;

} // namespace

const Logging& moduleLogger() { return g_moduleLogger; }
boost::mutex& identifierMutex() { return g_identifierMutex; }

void requireHandle(const void* handle, const char* operation) {
    if (handle == nullptr) {
        throw std::invalid_argument(std::string(operation) + " needs a serialization handle, got an empty one");
    }
}

} // namespace internal

ZvFileIO::ZvFileIO(std::shared_ptr<LoadRefactoringMap> refactoringMap) : m_refactoringMap(std::move(refactoringMap)) {}

ZvFileIO::ZvFileIO(const ZvFileIO& other) = default;

// shared_ptr's copy assignment takes the new share before it drops the old
// one, which keeps the map alive when an object is assigned to itself.
ZvFileIO& ZvFileIO::operator=(const ZvFileIO& other) = default;

ZvFileIO::~ZvFileIO() = default;

bool ZvFileIO::verifyFileVersion(SerializationHandle handle, bool& isCurrent, ProgressHandle /*progress*/) const {
    std::int32_t fileVersion = -1;
    std::int32_t currentVersion = -1;
    // readCurrentVersion is asked only once the file's own version was read.
    if (handle && handle->readFileVersion(fileVersion) && handle->readCurrentVersion(currentVersion)) {
        if (fileVersion < 0 || currentVersion < fileVersion) {
            return false;
        }
        isCurrent = currentVersion == fileVersion;
        return true;
    }
    internal::moduleLogger().logERROR("Error reading file version.", __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    throw FileOpenException(Translator::translate("ZvFileIO", "Error reading file version.", nullptr, -1),
                            FileOpenException::Type::VersionUnreadable, std::source_location::current());
}

bool ZvFileIO::verifyZVVersion(SerializationHandle handle, ProgressHandle progress) const {
    bool isCurrent = false;
    return verifyFileVersion(std::move(handle), isCurrent, std::move(progress));
}

bool ZvFileIO::isCurrentZVVersion(SerializationHandle handle) const {
    bool isCurrent = false;
    return verifyFileVersion(std::move(handle), isCurrent, nullptr) && isCurrent;
}

void ZvFileIO::logFileVersionInfo(const FileName& /*fileName*/, SerializationHandle handle) {
    if (!handle) {
        return;
    }
    std::int32_t version = -1;
    std::string created;
    std::string lastSaved;
    handle->readFileVersion(version);
    handle->readCreatedRevision(created);
    handle->readLastSavedRevision(lastSaved);
    internal::moduleLogger().logINFO(versionLine(version, created, lastSaved), __FILE__, ZV_FUNCTION_SIGNATURE,
                                     __LINE__);
}

std::string ZvFileIO::versionLine(std::int32_t version, const std::string& created, const std::string& lastSaved) {
    return "Opening file (version: " + std::to_string(version) + " created with revision: " + created +
           " last saved with revision: " + lastSaved + ")";
}

} // namespace Zorvan
