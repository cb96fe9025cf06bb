#pragma once
// The sample design zvfile saves: objects spread over a few design parts,
// each part stored through a design module of its own. Objects are made one
// at a time as they are saved; no design is held in memory.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "Serialization/SerializationTypes.h"

namespace zvfile {

inline constexpr std::array<std::string_view, 4> kParts = {"pipes", "valves", "pumps", "sensors"};

// The part index of `type`, or kParts.size() when it is none of them.
std::size_t partIndex(std::string_view type);

// The object of identity `id` in `part` as a save stamped with
// `dataRevision` writes it.
Zorvan::SerializationTransferObject sampleObject(std::int64_t id, std::size_t part, const std::string& dataRevision);

} // namespace zvfile
