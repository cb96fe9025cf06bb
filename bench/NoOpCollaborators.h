#pragma once
// Collaborators that do nothing, so that a benchmark measures only what the
// library adds to the calls it makes: a design whose every operation
// returns at once (versions equal, every object already stored), an Env
// in which every file exists, and a log sink that drops its records.
//
// Only factories are visible here: the classes live in their own
// translation unit, so that a bare call sequence makes the same virtual
// calls as the library does instead of being inlined away.

#include <memory>

#include "FileHandling/Env.h"
#include "Logging/LogSink.h"
#include "Serialization/SingleObjectInterface.h"

namespace Zorvan::bench {

SerializationHandle noOpDesign();
// Every file exists, the same one under every name, and every call
// succeeds; all files are read-only when `readOnly`, none otherwise.
std::shared_ptr<Env> noOpEnv(bool readOnly);
std::shared_ptr<LogSink> noOpSink();

} // namespace Zorvan::bench
