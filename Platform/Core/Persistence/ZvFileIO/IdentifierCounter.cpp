// Carrying the identifier counter between design files and the process's
// identifier service.

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/ModuleState.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"

namespace Zorvan {

void ZvFileIO::readMaxIdentifierValue(SerializationHandle handle) {
    internal::requireHandle(handle.get(), "readMaxIdentifierValue");
    std::int64_t number = 0;
    std::int16_t domain = 0;
    // The file is read outside the lock; only the hand-over is serialised,
    // so that two files opened at once merge one after the other.
    handle->readMaxIdentifier(number, domain);
    const Identifier::IdValue value{number, domain};
    const boost::unique_lock<boost::mutex> lock(internal::identifierMutex());
    Identifier::updateNextValue(value);
}

void ZvFileIO::updateMaxIdentifierValue(SerializationHandle handle) {
    internal::requireHandle(handle.get(), "updateMaxIdentifierValue");
    // nextValue() refers to a snapshot the service took for this thread, so
    // this copy never races with another thread's merge.
    const Identifier::IdValue next = Identifier::nextValue();
    handle->writeMaxIdentifier(next.number, next.domain);
}

} // namespace Zorvan
