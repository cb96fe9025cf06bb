#pragma once
// The running process's id, for objects that own files or locks: one that a
// forked child inherited belongs to the parent, and dropping it in the child
// must release memory only (closing a database connection there would roll
// back, or delete the journal of, the parent's transaction).

#ifdef _WIN32
#include "Common/WindowsApi.h"
#else
#include <unistd.h>
#endif

#include <cstdint>

namespace Zorvan::internal {

inline std::uint64_t currentProcess() {
#ifdef _WIN32
    return ::GetCurrentProcessId();
#else
    return static_cast<std::uint64_t>(::getpid());
#endif
}

} // namespace Zorvan::internal
