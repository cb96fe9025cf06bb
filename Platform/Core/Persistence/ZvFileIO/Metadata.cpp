// The metadata every saved design file carries.

#include "Platform/Core/Persistence/ZvFileIO/ModuleState.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan {

std::string ZvFileIO::writeMetaData(SerializationHandle handle, const std::string& dataRevision,
                                    std::int32_t dataRevisionNumber, ZvFileWriteMode mode,
                                    std::string createdRevision) {
    internal::requireHandle(handle.get(), "writeMetaData");
    const std::string buildRevision = VersionControl().getRootRevisionAsString();
    if (createdRevision.empty()) {
        createdRevision = buildRevision;
    }
    handle->writeDataRevision(dataRevision);
    handle->writeDataRevisionNumber(dataRevisionNumber);
    switch (mode) {
    case ZvFileWriteMode::Overwrite:
        handle->writeCreatedRevision(createdRevision);
        handle->writeLastSavedRevision(buildRevision);
        break;
    case ZvFileWriteMode::UpdateSelected:
    case ZvFileWriteMode::UpdateAll:
        handle->writeLastSavedRevision(buildRevision);
        handle->markUpdated();
        break;
    default:
        // A mode this library does not know still records who saved last.
        handle->writeLastSavedRevision(buildRevision);
        break;
    }
    updateMaxIdentifierValue(std::move(handle));
    return buildRevision;
}

void ZvFileIO::getDataRevision(SerializationHandle handle, std::string& dataRevision,
                               std::int32_t& dataRevisionNumber) const {
    internal::requireHandle(handle.get(), "getDataRevision");
    handle->readDataRevision(dataRevision);
    handle->readDataRevisionNumber(dataRevisionNumber);
}

void ZvFileIO::createGroup(SerializationHandle handle) {
    internal::requireHandle(handle.get(), "createGroup");
    std::int32_t reference = 0;
    handle->addGroup(reference);
}

} // namespace Zorvan
