#include "Exceptions/ZvException.h"

namespace Zorvan {

ZvException::ZvException(const std::string& message, std::source_location location)
    : m_message(message), m_location(location) {}

ZvException::ZvException(const ZvException& other) = default;
ZvException& ZvException::operator=(const ZvException& other) = default;
// Out of line: the vtable and typeinfo live in this library only, so a
// ZvException raised anywhere is caught by type everywhere.
ZvException::~ZvException() = default;

const char* ZvException::what() const noexcept { return m_message.c_str(); }

std::string ZvException::log() const {
    return m_message + " (raised at " + m_location.file_name() + ":" +
           std::to_string(m_location.line()) + " in " + m_location.function_name() + ")";
}

} // namespace Zorvan
