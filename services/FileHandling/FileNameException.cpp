#include "FileHandling/FileNameException.h"

namespace Zorvan {

FileNameException::FileNameException(const std::string& message, const std::string& path,
                                     std::source_location location)
    : ZvException(message, location), m_path(path) {}

FileNameException::FileNameException(const std::string& message, const std::string& path, std::error_code error,
                                     std::source_location location)
    : ZvException(message, location), m_path(path), m_error(error) {}

FileNameException::FileNameException(const FileNameException& other) = default;
FileNameException& FileNameException::operator=(const FileNameException& other) = default;
// Out of line so that this library alone owns the typeinfo.
FileNameException::~FileNameException() = default;

} // namespace Zorvan
