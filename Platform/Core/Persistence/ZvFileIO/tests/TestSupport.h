#pragma once
// Helpers shared by the library's tests.

#include <filesystem>
#include <memory>
#include <optional>
#include <random>
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

// A fresh folder for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() / ("zvfileio-test-" + std::to_string(random()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& leaf) const { return (m_path / leaf).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace Zorvan::testing
