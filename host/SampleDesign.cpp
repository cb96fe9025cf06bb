#include "SampleDesign.h"

#include <algorithm>

#include "Identifier/Identifier.h"

namespace zvfile {

std::int64_t SampleDesign::size() const {
    std::int64_t total = 0;
    for (const auto& part : parts) {
        total += static_cast<std::int64_t>(part.size());
    }
    return total;
}

std::size_t partIndex(std::string_view type) {
    return static_cast<std::size_t>(std::find(kParts.begin(), kParts.end(), type) - kParts.begin());
}

SampleDesign makeDesign(const std::vector<Zorvan::SerializationTransferObject>& existing, std::int64_t count,
                        const std::string& dataRevision) {
    SampleDesign design;
    std::int64_t made = 0;
    auto add = [&](std::int64_t id, std::size_t part) {
        // Some bulk, so that a large design is a large file.
        std::string payload = std::string(kParts[part]) + " #" + std::to_string(id) + " saved as '" + dataRevision +
                              "' " + std::string(48, '.');
        design.parts[part].emplace_back(id, std::string(kParts[part]), std::move(payload));
        ++made;
    };
    for (const auto& object : existing) {
        const std::size_t part = partIndex(object.type());
        if (made == count) {
            break;
        }
        add(object.id(), part < kParts.size() ? part : 0);
    }
    while (made < count) {
        add(Zorvan::Identifier::create().number, static_cast<std::size_t>(made) % kParts.size());
    }
    return design;
}

} // namespace zvfile
