#pragma once
// The state the library keeps from load to unload: the module logger and
// the identifier mutex. Both are built when the library is loaded, before
// any exported operation can run, and destroyed when it is unloaded.

#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include "Logging/Logging.h"

namespace Zorvan::internal {

// The library's only logger, named with the path of ZvFileIO.cpp as the
// build gives it; the library's log calls pass that same path.
const Logging& moduleLogger();

// Serialises the hand-over of a file's identifier counter to the
// identifier service.
boost::mutex& identifierMutex();

// Throws std::invalid_argument naming `operation` when `handle` is empty.
void requireHandle(const void* handle, const char* operation);

} // namespace Zorvan::internal
