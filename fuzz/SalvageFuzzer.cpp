// Fuzz target: arbitrary bytes salvaged as a damaged design, as a host
// salvages a file the road refused. Invariants:
//   - salvageDesign either writes a new design or refuses with
//     DesignRefusedException; nothing else is raised;
//   - the file salvaged is byte for byte as it was;
//   - a new design written opens, and holds as many objects as the report
//     says were salvaged, under a counter above every one of them.
// Any other exception, a crash or a sanitizer report is a finding.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "FuzzCheck.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/DesignSalvage/DesignSalvage.h"

namespace {

namespace fs = std::filesystem;
using namespace Zorvan;

struct ScratchFolder {
    const fs::path path = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                          ("zv-salvage-fuzz-" + std::to_string(std::random_device()()));
    ScratchFolder() { fs::create_directory(path); }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

struct DiscardSink final : LogSink {
    void write(const LogRecord& /*record*/) override {}
};

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFolder folder;
    static const ScopedLogSink quiet(std::make_shared<DiscardSink>());
    const fs::path file = folder.path / "damaged.zvd";
    const fs::path into = folder.path / "salvaged.zvd";
    std::error_code ignored;
    fs::remove(into, ignored);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    try {
        const SalvageReport report = salvageDesign(file.string(), into.string());
        const OpenedDesign salvaged = openDesign(into.string());
        ZV_FUZZ_REQUIRE(salvaged.objectCount == report.objectsSalvaged,
                        std::to_string(salvaged.objectCount) + " objects, reported " +
                            std::to_string(report.objectsSalvaged));
        std::int64_t highest = 0;
        salvaged.forEachObject([&](const SerializationTransferObject& object) {
            highest = std::max(highest, object.id());
            return true;
        });
        ZV_FUZZ_REQUIRE(salvaged.nextIdentifier > highest || report.objectsSalvaged == 0,
                        "next " + std::to_string(salvaged.nextIdentifier) + ", highest " + std::to_string(highest));
    } catch (const DesignRefusedException&) {
        // a refusal is an answer
    } catch (const std::exception& e) {
        fuzz::fail("salvageDesign raised only DesignRefusedException", e.what());
    }
    ZV_FUZZ_REQUIRE(contentOf(file) == bytes, "the salvaged file changed");
    return 0;
}
