#include "Logging/Logging.h"

#include <utility>

#include "Common/ServiceSlot.h"

namespace Zorvan {
namespace {

// A host that installs no sink hears nothing: what it needs of a failure
// reaches it in the exception, and a line on its standard error would only
// come before, and differ from, the one it shows. Hosts and tools that want
// the lines install a sink.
class DiscardSink final : public LogSink {
public:
    void write(const LogRecord&) override {}
};

std::shared_ptr<LogSink> quietSink() { return std::make_shared<DiscardSink>(); }

internal::ServiceSlot<LogSink>& sinkSlot() {
    static internal::ServiceSlot<LogSink> instance(quietSink());
    return instance;
}

} // namespace

Logging::Logging(const std::string& name) : m_name(name) {}
Logging::~Logging() = default;

void Logging::logINFO(const std::string& message, const char* file, const char* function, int line) const {
    write(LogLevel::Info, message, file, function, line);
}

void Logging::logERROR(const std::string& message, const char* file, const char* function, int line) const {
    write(LogLevel::Error, message, file, function, line);
}

void Logging::write(LogLevel level, const std::string& message, const char* file, const char* function,
                    int line) const {
    sinkSlot().get()->write(LogRecord{std::chrono::system_clock::now(), level, m_name, message,
                                   file ? file : "", function ? function : "", line});
}

std::shared_ptr<LogSink> Logging::setSink(std::shared_ptr<LogSink> sink) {
    if (!sink) {
        sink = quietSink();
    }
    return sinkSlot().exchange(std::move(sink));
}

ScopedLogSink::ScopedLogSink(std::shared_ptr<LogSink> sink) : m_previous(Logging::setSink(std::move(sink))) {}
ScopedLogSink::~ScopedLogSink() { Logging::setSink(std::move(m_previous)); }

} // namespace Zorvan
