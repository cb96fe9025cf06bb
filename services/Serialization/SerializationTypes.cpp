#include "Serialization/SerializationTypes.h"

#include <utility>

namespace Zorvan {

SerializationTransferObject::SerializationTransferObject(std::int64_t id, std::string type, std::string payload)
    : m_id(id), m_type(std::move(type)), m_payload(std::move(payload)) {}

Progress::Progress(Callback callback) : m_callback(std::move(callback)) {}

void Progress::report(std::int64_t done, std::int64_t total) const {
    if (m_callback) {
        m_callback(done, total);
    }
}

void LoadRefactoringMap::addRename(const std::string& oldType, const std::string& newType) {
    m_renames[oldType] = newType;
}

std::string LoadRefactoringMap::resolve(const std::string& storedType) const {
    const auto found = m_renames.find(storedType);
    return found == m_renames.end() ? storedType : found->second;
}

} // namespace Zorvan
