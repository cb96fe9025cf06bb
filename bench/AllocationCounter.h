#pragma once
// Counts the heap allocations of the benchmark program: AllocationCounter.cpp
// replaces the global operator new for the whole process, the libraries
// under measurement included, and counts each call per thread.

#include <cstdint>

namespace Zorvan::bench {

// The number of allocations the calling thread has made so far.
std::uint64_t allocationsOnThisThread();

} // namespace Zorvan::bench
