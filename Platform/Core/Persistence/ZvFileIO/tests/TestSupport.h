#pragma once
// Helpers shared by the library's tests.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Logging/Logging.h"
#include "Translation/Translator.h"

namespace Zorvan::testing {

// Records every lookup and translates "x" in context "c" to "c: x".
class RecordingCatalogue : public Catalogue {
public:
    struct Call {
        std::string context;
        std::string sourceText;
        bool nullDisambiguation;
        int n;
    };

    std::optional<std::string> lookup(const char* context, const char* sourceText, const char* disambiguation,
                                      int n) const override {
        calls.push_back({context, sourceText, disambiguation == nullptr, n});
        return std::string(context) + ": " + sourceText;
    }

    mutable std::vector<Call> calls;
};

// Installs a RecordingCatalogue and a MemorySink for one test.
class ServiceDoubles {
public:
    ServiceDoubles() : m_previousCatalogue(Translator::setCatalogue(catalogue)) {}
    ~ServiceDoubles() { Translator::setCatalogue(m_previousCatalogue); }
    ServiceDoubles(const ServiceDoubles&) = delete;
    ServiceDoubles& operator=(const ServiceDoubles&) = delete;

    const std::shared_ptr<RecordingCatalogue> catalogue = std::make_shared<RecordingCatalogue>();
    const std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();

private:
    std::shared_ptr<const Catalogue> m_previousCatalogue;
    ScopedLogSink m_sink{log};
};

} // namespace Zorvan::testing
