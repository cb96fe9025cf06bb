#pragma once
// Helpers shared by the library's tests.

#include <memory>
#include <optional>
#include <string>

#include "Logging/Logging.h"
#include "Translation/Translator.h"

namespace Zorvan::testing {

// Counts the lookups and translates "x" in context "c" to "c: x".
class CountingCatalogue : public Catalogue {
public:
    std::optional<std::string> lookup(const char* context, const char* sourceText, const char* /*disambiguation*/,
                                      int /*n*/) const override {
        ++lookups;
        return std::string(context) + ": " + sourceText;
    }

    mutable std::size_t lookups = 0;
};

// Installs a CountingCatalogue and a MemorySink for one test.
class ServiceDoubles {
public:
    ServiceDoubles() : m_previousCatalogue(Translator::setCatalogue(catalogue)) {}
    ~ServiceDoubles() { Translator::setCatalogue(m_previousCatalogue); }
    ServiceDoubles(const ServiceDoubles&) = delete;
    ServiceDoubles& operator=(const ServiceDoubles&) = delete;

    const std::shared_ptr<CountingCatalogue> catalogue = std::make_shared<CountingCatalogue>();
    const std::shared_ptr<MemorySink> log = std::make_shared<MemorySink>();

private:
    std::shared_ptr<const Catalogue> m_previousCatalogue;
    ScopedLogSink m_sink{log};
};

} // namespace Zorvan::testing
