#pragma once
// The checksum every page of a design written by this software carries in
// its last eight bytes (the page's reserved bytes, header byte 20 == 8), so
// that a page that no longer holds what was written to it is noticed when
// it is read, not loaded as if it had been saved so.
//
// Internal to the design store and its tests: not installed.

#include <cstddef>
#include <cstdint>
#include <span>

#include "Serialization/DesignStoreExport.h"

namespace Zorvan::internal {

/// The reserved bytes at the end of every page of a checksummed design.
constexpr std::size_t kPageChecksumBytes = 8;

/// The checksum of a page's content: all of it but its last eight bytes.
SERVICES_DESIGNSTORE_EXPORT std::uint64_t pageChecksum(std::span<const unsigned char> pageWithoutItsLastEightBytes);

/// Whether the whole `page` ends in the checksum of the rest of it, stored
/// little-endian. A page shorter than nine bytes holds none.
SERVICES_DESIGNSTORE_EXPORT bool pageChecksumHolds(std::span<const unsigned char> page);

/// Stores the checksum of the rest of the whole `page` in its last eight bytes.
SERVICES_DESIGNSTORE_EXPORT void storePageChecksum(std::span<unsigned char> page);

} // namespace Zorvan::internal
