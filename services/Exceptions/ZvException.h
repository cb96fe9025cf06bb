#pragma once
/// @file
/// ZvException: the common base of the system's exceptions. It carries a
/// message for the user and the place in the source where it was raised.
///
/// Thread-safety: an object is immutable after construction except through
/// assignment; distinct objects may be used from different threads.

#include <exception>
#include <source_location>
#include <string>

#include "Exceptions/ExceptionsExport.h"

namespace Zorvan {

class SERVICES_EXCEPTIONS_EXPORT ZvException : public std::exception {
public:
    /// Raise as `throw ZvException(message, std::source_location::current())`;
    /// the default argument records the constructing expression's location.
    explicit ZvException(const std::string& message,
                         std::source_location location = std::source_location::current());
    ZvException(const ZvException& other);
    ZvException& operator=(const ZvException& other);
    ~ZvException() override;

    /// The message given at construction.
    const char* what() const noexcept override;
    /// The message followed by where it was raised, for log files:
    /// "Disk full (raised at src/a.cpp:12 in void f())".
    virtual std::string log() const;

    const std::source_location& location() const noexcept { return m_location; }

private:
    std::string m_message;
    std::source_location m_location;
};

} // namespace Zorvan
