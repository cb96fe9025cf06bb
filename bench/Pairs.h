#pragma once
// A benchmark pair: an operation of the library ("<name>/library") and the
// bare sequence of collaborator calls it makes ("<name>/bare"), measured
// the same way in the same program, so that their ratio is what the library
// adds. Each run also reports its heap allocations per call ("allocs").

#include <benchmark/benchmark.h>

#include <initializer_list>
#include <string>

#include "AllocationCounter.h"

namespace Zorvan::bench {

// Runs `call` in the timed loop and records the allocations it made.
template <class Call>
void measure(benchmark::State& state, Call&& call) {
    const std::uint64_t before = allocationsOnThisThread();
    for (auto _ : state) {
        call();
    }
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocationsOnThisThread() - before),
                                                  benchmark::Counter::kAvgIterations);
}

// Registers the pair, once per thread count. Real time: with several
// threads, waiting for a lock is part of the cost.
template <class Library, class Bare>
void pair(const std::string& name, Library library, Bare bare, std::initializer_list<int> threads = {1}) {
    for (const int count : threads) {
        benchmark::RegisterBenchmark((name + "/library").c_str(), library)->Threads(count)->UseRealTime();
        benchmark::RegisterBenchmark((name + "/bare").c_str(), bare)->Threads(count)->UseRealTime();
    }
}

// Registers an operation that makes no collaborator call, so has no bare
// sequence to compare with; only its own time is reported.
template <class Library>
void single(const std::string& name, Library library) {
    benchmark::RegisterBenchmark((name + "/library").c_str(), library)->UseRealTime();
}

} // namespace Zorvan::bench
