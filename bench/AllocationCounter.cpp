#include "AllocationCounter.h"

#include <cstddef>
#include <cstdlib>
#include <new>

// The replacements must be visible to the shared libraries, which the
// program's default of hidden symbols would prevent; only then do their
// allocations come here too.
#define ZV_GLOBAL_REPLACEMENT __attribute__((visibility("default")))

namespace {

// Per thread: counting costs no atomic operation, and a benchmark's
// threads each count their own share.
thread_local std::uint64_t t_allocations = 0;

void* allocate(std::size_t size, std::size_t alignment) {
    ++t_allocations;
    size = size == 0 ? 1 : size;
    void* memory = alignment <= alignof(std::max_align_t)
                       ? std::malloc(size)
                       : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

} // namespace

std::uint64_t Zorvan::bench::allocationsOnThisThread() { return t_allocations; }

// The array and nothrow forms of the C++ runtime call these.
ZV_GLOBAL_REPLACEMENT void* operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
ZV_GLOBAL_REPLACEMENT void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, static_cast<std::size_t>(alignment));
}
ZV_GLOBAL_REPLACEMENT void operator delete(void* memory) noexcept { std::free(memory); }
ZV_GLOBAL_REPLACEMENT void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
ZV_GLOBAL_REPLACEMENT void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
ZV_GLOBAL_REPLACEMENT void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
