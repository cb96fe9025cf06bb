#include "Serialization/MemoryDesignStore.h"

namespace Zorvan {

MemoryDesignStore::MemoryDesignStore() = default;
MemoryDesignStore::~MemoryDesignStore() = default;

bool MemoryDesignStore::isOpen() const { return true; }

bool MemoryDesignStore::readCurrentVersion(std::int32_t& version) {
    version = kCurrentVersion;
    return true;
}

bool MemoryDesignStore::readFileVersion(std::int32_t& version) {
    version = fileVersion;
    return true;
}

void MemoryDesignStore::markUpdated() { ++updateMarks; }
void MemoryDesignStore::addGroup(std::int32_t& reference) { reference = ++groups; }
std::int32_t MemoryDesignStore::groupCount() const { return groups; }
void MemoryDesignStore::readDataRevisionNumber(std::int32_t& number) { number = dataRevisionNumber; }
void MemoryDesignStore::writeDataRevisionNumber(std::int32_t& number) { dataRevisionNumber = number; }
void MemoryDesignStore::readDataRevision(std::string& revision) { revision = dataRevision; }
void MemoryDesignStore::writeDataRevision(const std::string& revision) { dataRevision = revision; }
void MemoryDesignStore::writeCreatedRevision(const std::string& revision) { createdRevision = revision; }
void MemoryDesignStore::readCreatedRevision(std::string& revision) { revision = createdRevision; }
void MemoryDesignStore::writeLastSavedRevision(const std::string& revision) { lastSavedRevision = revision; }
void MemoryDesignStore::readLastSavedRevision(std::string& revision) { revision = lastSavedRevision; }
std::int64_t MemoryDesignStore::objectCount() const { return static_cast<std::int64_t>(objects.size()); }
void MemoryDesignStore::commit() { ++commits; }

void MemoryDesignStore::writeMaxIdentifier(std::int64_t number, std::int16_t domain) {
    maxIdentifierNumber = number;
    maxIdentifierDomain = domain;
}

void MemoryDesignStore::readMaxIdentifier(std::int64_t& number, std::int16_t& domain) {
    number = maxIdentifierNumber;
    domain = maxIdentifierDomain;
}

bool MemoryDesignStore::contains(SerializationTransferObject& object) { return objects.contains(object.id()); }
void MemoryDesignStore::insert(SerializationTransferObject& object) { objects.insert_or_assign(object.id(), object); }

bool MemoryDesignStore::read(SerializationTransferObject& object) {
    const auto found = objects.find(object.id());
    if (found == objects.end()) {
        return false;
    }
    object = found->second;
    return true;
}

void MemoryDesignStore::update(SerializationTransferObject& object) { objects.insert_or_assign(object.id(), object); }

} // namespace Zorvan
