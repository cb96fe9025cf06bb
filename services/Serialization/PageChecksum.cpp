#include "Serialization/PageChecksum.h"

// XXH3 inlined here: the library links no hashing library, and the same
// header serves the Windows build.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace Zorvan::internal {
namespace {

std::uint64_t stored(std::span<const unsigned char> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = kPageChecksumBytes; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

} // namespace

// XXH3-64: a page of 4096 bytes costs well under a microsecond, far below
// what writing it costs, and any change of a few bits changes it.
std::uint64_t pageChecksum(std::span<const unsigned char> pageWithoutItsLastEightBytes) {
    return XXH3_64bits(pageWithoutItsLastEightBytes.data(), pageWithoutItsLastEightBytes.size());
}

bool pageChecksumHolds(std::span<const unsigned char> page) {
    if (page.size() <= kPageChecksumBytes) {
        return false;
    }
    const std::size_t content = page.size() - kPageChecksumBytes;
    return pageChecksum(page.first(content)) == stored(page.subspan(content));
}

void storePageChecksum(std::span<unsigned char> page) {
    if (page.size() <= kPageChecksumBytes) {
        return;
    }
    const std::size_t content = page.size() - kPageChecksumBytes;
    std::uint64_t sum = pageChecksum(page.first(content));
    for (unsigned char& byte : page.subspan(content)) {
        byte = static_cast<unsigned char>(sum & 0xff);
        sum >>= 8;
    }
}

} // namespace Zorvan::internal
