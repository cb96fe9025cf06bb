#pragma once
// Prints Google Benchmark's usual table and, at the end, one line per
// operation: the library's time, the bare calls' time, their ratio and the
// allocations per call of each, checked against the targets (ratio at most
// 1.2; no allocation for the operations named in `allocationFree`). With
// --benchmark_repetitions the medians are compared.

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace Zorvan::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::set<std::string> allocationFree);

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    struct Measured {
        double nanoseconds = 0;
        double allocations = 0;
    };
    // Operation, thread count, "library" or "bare".
    using Key = std::tuple<std::string, int, std::string>;

    const Measured* find(const Key& key) const;

    std::set<std::string> m_allocationFree;
    std::vector<std::pair<std::string, int>> m_operations; // in the order first run
    std::map<Key, Measured> m_runs;                        // the last single run
    std::map<Key, Measured> m_medians;
};

} // namespace Zorvan::bench
