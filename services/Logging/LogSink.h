#pragma once
/// @file
/// LogSink: where the log lines of every Logging object go. One sink is
/// installed per process; the default drops every line (a host learns what
/// failed from the exceptions), and a host that wants the lines installs a
/// sink of its own (Logging::setSink), for instance StderrSink(LogLevel::Error)
/// or StderrSink(LogLevel::Info) for the version line of every opened file
/// too.
///
/// Thread-safety: write() may be called from several threads at once; the
/// sinks here serialise their output themselves.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Logging/LoggingExport.h"

namespace Zorvan {

enum class LogLevel { Info, Error };

/// Text of a level as it stands in a log line: "INFO" or "ERROR".
SERVICES_LOGGING_EXPORT const char* toString(LogLevel level);

/// True when standard error is an interactive terminal, where a progress
/// line that rewrites itself can be shown.
SERVICES_LOGGING_EXPORT bool isStandardErrorTerminal();

/// One call of Logging::logINFO or logERROR, as the caller gave it.
struct LogRecord {
    std::chrono::system_clock::time_point time;
    LogLevel level;
    std::string logger;
    std::string message;
    std::string file;
    std::string function;
    int line = 0;
};

class SERVICES_LOGGING_EXPORT LogSink {
public:
    virtual ~LogSink();
    virtual void write(const LogRecord& record) = 0;
};

/// Writes one line per record of level `least` or above to standard error:
/// 2026-12-06T03:22:26.123Z ERROR [logger] message (file:line, function)
class SERVICES_LOGGING_EXPORT StderrSink final : public LogSink {
public:
    explicit StderrSink(LogLevel least = LogLevel::Info) : m_least(least) {}
    void write(const LogRecord& record) override;
    /// The line StderrSink writes for a record, without the newline.
    static std::string format(const LogRecord& record);

private:
    LogLevel m_least;
    std::mutex m_mutex;
};

/// Keeps every record in memory, for tests and for hosts that show the log.
class SERVICES_LOGGING_EXPORT MemorySink final : public LogSink {
public:
    void write(const LogRecord& record) override;
    std::vector<LogRecord> records() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogRecord> m_records;
};

} // namespace Zorvan
