#pragma once
// The sample design zvfile saves: objects spread over a few design parts,
// each part stored through a design module of its own.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Serialization/SerializationTypes.h"

namespace zvfile {

inline constexpr std::array<std::string_view, 4> kParts = {"pipes", "valves", "pumps", "sensors"};

// Objects of a design, grouped by part (the object's type is its part).
struct SampleDesign {
    std::array<std::vector<Zorvan::SerializationTransferObject>, kParts.size()> parts;

    std::int64_t size() const;
};

// The part index of `type`, or kParts.size() when it is none of them.
std::size_t partIndex(std::string_view type);

// `existing` objects brought to `count` (identities kept, new ones from the
// identifier service), each payload stamped with `dataRevision`.
SampleDesign makeDesign(const std::vector<Zorvan::SerializationTransferObject>& existing, std::int64_t count,
                        const std::string& dataRevision);

} // namespace zvfile
