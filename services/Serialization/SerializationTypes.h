#pragma once
/// @file
/// The plain values that travel through the serialization interface.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "Serialization/SerializationExport.h"

namespace Zorvan {

/// One stored object of a design: a process-unique identity, a type name
/// and an opaque payload. Two objects with the same identity are the same
/// object, in two versions.
class SERVICES_SERIALIZATION_EXPORT SerializationTransferObject {
public:
    SerializationTransferObject() = default;
    SerializationTransferObject(std::int64_t id, std::string type, std::string payload);

    std::int64_t id() const noexcept { return m_id; }
    const std::string& type() const noexcept { return m_type; }
    const std::string& payload() const noexcept { return m_payload; }
    void setPayload(std::string payload) { m_payload = std::move(payload); }
    /// Makes this the object `id` of `type` with `payload`, in the memory
    /// it holds where that is large enough: a walk of many objects refills
    /// the same few.
    void assign(std::int64_t id, std::string_view type, std::string_view payload) {
        m_id = id;
        m_type.assign(type);
        m_payload.assign(payload);
    }

    bool operator==(const SerializationTransferObject&) const = default;

private:
    std::int64_t m_id = 0;
    std::string m_type;
    std::string m_payload;
};

/// Receives progress reports from long operations: `done` of `total` steps.
/// The default reporter ignores them; hosts pass a callback.
class SERVICES_SERIALIZATION_EXPORT Progress {
public:
    using Callback = std::function<void(std::int64_t done, std::int64_t total)>;

    Progress() = default;
    explicit Progress(Callback callback);

    void report(std::int64_t done, std::int64_t total) const;

private:
    Callback m_callback;
};

/// Renamed object types: while a file is loaded, a type stored under an old
/// name is read as its new name.
class SERVICES_SERIALIZATION_EXPORT LoadRefactoringMap {
public:
    void addRename(const std::string& oldType, const std::string& newType);
    /// The type to read `storedType` as: its new name, or itself.
    std::string resolve(const std::string& storedType) const;

private:
    std::map<std::string, std::string> m_renames;
};

} // namespace Zorvan
