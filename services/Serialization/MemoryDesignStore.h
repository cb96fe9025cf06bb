#pragma once
/// @file
/// MemoryDesignStore: a design file kept in memory. It implements the whole
/// serialization interface with plain fields, for tests, examples and hosts
/// that want a scratch design. commit() only counts.
///
/// Thread-safety: one thread at a time, like every handle.

#include <cstdint>
#include <map>
#include <string>

#include "Serialization/SingleObjectInterface.h"

namespace Zorvan {

class SERVICES_SERIALIZATION_EXPORT MemoryDesignStore final
    : public SingleObjectInterface<SerializationTransferObject> {
public:
    /// The format version this store writes.
    static constexpr std::int32_t kCurrentVersion = 1;

    /// A new, empty design in the current format.
    MemoryDesignStore();
    ~MemoryDesignStore() override;

    bool isOpen() const override;
    bool readCurrentVersion(std::int32_t& version) override;
    bool readFileVersion(std::int32_t& version) override;
    void markUpdated() override;
    void addGroup(std::int32_t& reference) override;
    std::int32_t groupCount() const override;
    void readDataRevisionNumber(std::int32_t& number) override;
    void writeDataRevisionNumber(std::int32_t& number) override;
    void readDataRevision(std::string& revision) override;
    void writeDataRevision(const std::string& revision) override;
    void writeCreatedRevision(const std::string& revision) override;
    void readCreatedRevision(std::string& revision) override;
    void writeLastSavedRevision(const std::string& revision) override;
    void readLastSavedRevision(std::string& revision) override;
    std::int64_t objectCount() const override;
    void commit() override;
    void writeMaxIdentifier(std::int64_t number, std::int16_t domain) override;
    void readMaxIdentifier(std::int64_t& number, std::int16_t& domain) override;
    bool contains(SerializationTransferObject& object) override;
    void insert(SerializationTransferObject& object) override;
    bool read(SerializationTransferObject& object) override;
    void update(SerializationTransferObject& object) override;

    /// The stored fields, open for tests to set up and inspect.
    std::int32_t fileVersion = kCurrentVersion;
    std::int32_t dataRevisionNumber = 0;
    std::string dataRevision;
    std::string createdRevision;
    std::string lastSavedRevision;
    std::int64_t maxIdentifierNumber = 0;
    std::int16_t maxIdentifierDomain = 0;
    std::int32_t groups = 0;
    int updateMarks = 0;
    int commits = 0;
    std::map<std::int64_t, SerializationTransferObject> objects;
};

} // namespace Zorvan
