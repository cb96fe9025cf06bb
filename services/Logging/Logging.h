#pragma once
/// @file
/// Logging: a named logger. Each logINFO/logERROR call writes exactly one
/// record, tagged with the logger's name and the caller's file, function
/// signature and line, to the process-wide sink, which writes nothing
/// unless a host or test installs one with setSink.
///
/// Thread-safety: all operations may be called concurrently.

#include <memory>
#include <string>

#include "Logging/LogSink.h"
#include "Logging/LoggingExport.h"

/// The calling function's full signature, for the `function` argument.
#if defined(_MSC_VER)
#define ZV_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define ZV_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

namespace Zorvan {

class SERVICES_LOGGING_EXPORT Logging {
public:
    explicit Logging(const std::string& name);
    ~Logging();

    void logINFO(const std::string& message, const char* file, const char* function, int line) const;
    void logERROR(const std::string& message, const char* file, const char* function, int line) const;

    const std::string& name() const noexcept { return m_name; }

    /// Installs `sink` for every logger of the process and returns the one
    /// it replaces. A null sink restores the default, which drops every line.
    static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);

private:
    SERVICES_LOGGING_NO_EXPORT void write(LogLevel level, const std::string& message, const char* file, const char* function,
               int line) const;

    std::string m_name;
};

/// Installs a sink for the lifetime of the object, then puts the previous one back.
class SERVICES_LOGGING_EXPORT ScopedLogSink {
public:
    explicit ScopedLogSink(std::shared_ptr<LogSink> sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    std::shared_ptr<LogSink> m_previous;
};

} // namespace Zorvan
