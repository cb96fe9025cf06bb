#pragma once
/// @file
/// FileNameException: raised by the file-handling service when an operation
/// on a named file fails. The message names the file and gives the system's
/// reason: "Cannot remove 'a/pump.zvd': Permission denied".

#include <source_location>
#include <string>
#include <system_error>

#include "Exceptions/ZvException.h"
#include "FileHandling/FileHandlingExport.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileNameException : public ZvException {
public:
    FileNameException(const std::string& message, const std::string& path,
                      std::source_location location = std::source_location::current());
    /// The same, with the system's error behind the failure.
    FileNameException(const std::string& message, const std::string& path, std::error_code error,
                      std::source_location location = std::source_location::current());
    FileNameException(const FileNameException& other);
    FileNameException& operator=(const FileNameException& other);
    ~FileNameException() override;

    /// The file the failed operation was about.
    const std::string& path() const noexcept { return m_path; }
    /// The system's error behind the failure, where it was given.
    const std::error_code& error() const noexcept { return m_error; }

private:
    std::string m_path;
    std::error_code m_error;
};

} // namespace Zorvan
