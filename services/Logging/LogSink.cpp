#include "Logging/LogSink.h"

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Zorvan {

const char* toString(LogLevel level) {
    return level == LogLevel::Error ? "ERROR" : "INFO";
}

bool isStandardErrorTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

LogSink::~LogSink() = default;

std::string StderrSink::format(const LogRecord& record) {
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(record.time.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(record.time);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char stamp[32];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis));
    return std::string(stamp, length) + fraction + " " + toString(record.level) + " [" + record.logger +
           "] " + record.message + " (" + record.file + ":" + std::to_string(record.line) + ", " +
           record.function + ")";
}

void StderrSink::write(const LogRecord& record) {
    if (record.level < m_least) {
        return;
    }
    const std::string line = format(record) + "\n";
    const std::lock_guard lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void MemorySink::write(const LogRecord& record) {
    const std::lock_guard lock(m_mutex);
    m_records.push_back(record);
}

std::vector<LogRecord> MemorySink::records() const {
    const std::lock_guard lock(m_mutex);
    return m_records;
}

void MemorySink::clear() {
    const std::lock_guard lock(m_mutex);
    m_records.clear();
}

} // namespace Zorvan
