#pragma once
/// @file
/// FileNameException: raised by the file-handling service when an operation
/// on a named file fails. The message names the file and gives the system's
/// reason: "Cannot remove 'a/pump.zvd': Permission denied"; code() is that
/// reason as data, to tell one failure from another without reading text.

#include <source_location>
#include <string>
#include <system_error>

#include "Exceptions/ZvException.h"
#include "FileHandling/FileHandlingExport.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileNameException : public ZvException {
public:
    FileNameException(const std::string& message, const std::string& path, std::error_code code,
                      std::source_location location = std::source_location::current());
    FileNameException(const FileNameException& other);
    FileNameException& operator=(const FileNameException& other);
    ~FileNameException() override;

    /// The file the failed operation was about.
    const std::string& path() const noexcept { return m_path; }
    /// Why it failed: the system's error (std::errc conditions compare equal
    /// on every system), or the condition closest to a refusal decided here.
    const std::error_code& code() const noexcept { return m_code; }

private:
    std::string m_path;
    std::error_code m_code;
};

} // namespace Zorvan
