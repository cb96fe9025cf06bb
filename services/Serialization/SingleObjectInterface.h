#pragma once
/// @file
/// SingleObjectInterface<T>: reads and writes one design file. A handle is
/// bound to its file by whoever creates it (a store's factory); callers only
/// see this interface.
///
/// Contract shared by every implementation:
/// - each write/read pair stores and returns the same field, so what a save
///   writes is what the next open reads;
/// - readCurrentVersion and readFileVersion report failure by returning
///   false; every other operation reports failure by throwing;
/// - read operations leave their out arguments untouched when the file
///   holds no value for them.
///
/// Thread-safety: one handle is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

#include "Serialization/SerializationExport.h"
#include "Serialization/SerializationTypes.h"

namespace Zorvan {

template <class T>
class SingleObjectInterface {
public:
    virtual ~SingleObjectInterface() = default;

    /// False once the handle's file is closed or was never opened.
    virtual bool isOpen() const = 0;
    /// The format version the running software writes.
    virtual bool readCurrentVersion(std::int32_t& version) = 0;
    /// The format version the file was written in.
    virtual bool readFileVersion(std::int32_t& version) = 0;
    /// Records that the file was updated in place rather than rewritten.
    virtual void markUpdated() = 0;
    /// Adds a group; `reference` receives the new group's number.
    virtual void addGroup(std::int32_t& reference) = 0;
    virtual std::int32_t groupCount() const = 0;
    virtual void readDataRevisionNumber(std::int32_t& number) = 0;
    virtual void writeDataRevisionNumber(std::int32_t& number) = 0;
    virtual void readDataRevision(std::string& revision) = 0;
    virtual void writeDataRevision(const std::string& revision) = 0;
    virtual void writeCreatedRevision(const std::string& revision) = 0;
    virtual void readCreatedRevision(std::string& revision) = 0;
    virtual void writeLastSavedRevision(const std::string& revision) = 0;
    virtual void readLastSavedRevision(std::string& revision) = 0;
    /// Number of objects the file holds.
    virtual std::int64_t objectCount() const = 0;
    /// Makes every write through this handle durable as one unit. Until it
    /// returns, the file holds what it held before the first write.
    virtual void commit() = 0;
    /// The identifier counter: the next value to hand out when the file was saved.
    virtual void writeMaxIdentifier(std::int64_t number, std::int16_t domain) = 0;
    virtual void readMaxIdentifier(std::int64_t& number, std::int16_t& domain) = 0;
    /// True when an object of the same identity is stored.
    virtual bool contains(T& object) = 0;
    virtual void insert(T& object) = 0;
    /// Reads the stored object of `object`'s identity into `object`; false
    /// when there is none.
    virtual bool read(T& object) = 0;
    /// Stores `object` over the stored object of the same identity.
    virtual void update(T& object) = 0;
};

// Defined once, in the serialization library, so that every module shares
// one vtable and one typeinfo for the interface.
extern template class SERVICES_SERIALIZATION_EXPORT SingleObjectInterface<SerializationTransferObject>;

using SerializationHandle = std::shared_ptr<SingleObjectInterface<SerializationTransferObject>>;
using ProgressHandle = std::shared_ptr<Progress>;

} // namespace Zorvan
