#include "RatioReporter.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace Zorvan::bench {
namespace {

constexpr double kRatioTarget = 1.2;

double nanoseconds(const benchmark::BenchmarkReporter::Run& run) {
    const double time = run.GetAdjustedRealTime();
    switch (run.time_unit) {
    case benchmark::kSecond: return time * 1e9;
    case benchmark::kMillisecond: return time * 1e6;
    case benchmark::kMicrosecond: return time * 1e3;
    default: return time;
    }
}

std::string format(const char* pattern, double value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

} // namespace

RatioReporter::RatioReporter(std::set<std::string> allocationFree) : m_allocationFree(std::move(allocationFree)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        const bool median = run.aggregate_name == "median";
        if (run.error_occurred || (!run.aggregate_name.empty() && !median)) {
            continue;
        }
        // Registered as "<operation>/library" or "<operation>/bare".
        const std::string& name = run.run_name.function_name;
        const auto slash = name.rfind('/');
        const std::pair operation(name.substr(0, slash), static_cast<int>(run.threads));
        if (std::find(m_operations.begin(), m_operations.end(), operation) == m_operations.end()) {
            m_operations.push_back(operation);
        }
        const auto allocations = run.counters.find("allocs");
        (median ? m_medians : m_runs)[Key(operation.first, operation.second, name.substr(slash + 1))] =
            Measured{nanoseconds(run), allocations == run.counters.end() ? 0.0 : allocations->second.value};
    }
}

const RatioReporter::Measured* RatioReporter::find(const Key& key) const {
    for (const auto* runs : {&m_medians, &m_runs}) {
        if (const auto found = runs->find(key); found != runs->end()) {
            return &found->second;
        }
    }
    return nullptr;
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    std::printf("\n%-54s %10s %10s %7s %-7s %s\n", "operation", "library ns", "bare ns", "ratio", "target",
                "allocs/call library / bare");
    for (const auto& [operation, threads] : m_operations) {
        const Measured* library = find(Key(operation, threads, "library"));
        const Measured* bare = find(Key(operation, threads, "bare"));
        if (library == nullptr) {
            continue;
        }
        std::string ratio = "n/a";
        std::string verdict = "-";
        if (bare != nullptr && bare->nanoseconds > 0) {
            const double value = library->nanoseconds / bare->nanoseconds;
            ratio = format("%.2f", value);
            verdict = value <= kRatioTarget ? "ok" : "MISSED";
        }
        std::string allocations = format("%.2f", library->allocations) + " / " +
                                  (bare != nullptr ? format("%.2f", bare->allocations) : "-");
        if (m_allocationFree.contains(operation)) {
            allocations += library->allocations == 0 ? "  (none allowed: ok)" : "  (none allowed: MISSED)";
        }
        const std::string name = threads > 1 ? operation + " (" + std::to_string(threads) + " threads)" : operation;
        std::printf("%-54s %10.2f %10s %7s %-7s %s\n", name.c_str(), library->nanoseconds,
                    bare != nullptr ? format("%.2f", bare->nanoseconds).c_str() : "-", ratio.c_str(),
                    verdict.c_str(), allocations.c_str());
    }
    std::fflush(stdout);
}

} // namespace Zorvan::bench
