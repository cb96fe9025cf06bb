#include "SampleDesign.h"

#include <algorithm>
#include <charconv>

namespace zvfile {

std::size_t partIndex(std::string_view type) {
    return static_cast<std::size_t>(std::find(kParts.begin(), kParts.end(), type) - kParts.begin());
}

Zorvan::SerializationTransferObject sampleObject(std::int64_t id, std::size_t part, const std::string& dataRevision) {
    // Some bulk, so that a large design is a large file.
    std::string payload;
    payload.reserve(kParts[part].size() + dataRevision.size() + 96);
    payload.assign(kParts[part]);
    payload += " #";
    char digits[24];
    payload.append(digits, std::to_chars(digits, digits + sizeof digits, id).ptr);
    payload += " saved as '";
    payload += dataRevision;
    payload += "' ";
    payload.append(48, '.');
    return {id, std::string(kParts[part]), std::move(payload)};
}

} // namespace zvfile
