#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"

namespace Zorvan {

FileOpenException::FileOpenException(const std::string& message, Type type, std::source_location location)
    : ZvException(message, location), m_type(type) {}

// Moves copy: the base offers copying only, and an exception must stay
// intact while it is being moved.
FileOpenException::FileOpenException(const FileOpenException& other) = default;
FileOpenException::FileOpenException(FileOpenException&& other)
    : ZvException(other), m_type(other.m_type) {}
FileOpenException& FileOpenException::operator=(const FileOpenException& other) = default;
FileOpenException& FileOpenException::operator=(FileOpenException&& other) {
    ZvException::operator=(other);
    m_type = other.m_type;
    return *this;
}
FileOpenException::~FileOpenException() = default;

FileOpenException::Type FileOpenException::getType() const { return m_type; }

} // namespace Zorvan
