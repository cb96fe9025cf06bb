#pragma once
// Damage done to a design file on purpose, as a failing disk, a program
// that writes where it should not, or a copy cut short would do it: each
// function takes the file's path and changes its bytes in place. Page
// numbers count from 1, as SQLite's do.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "Serialization/PageChecksum.h"

namespace Zorvan::testing::damage {

inline std::string bytesOf(const std::string& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Writes `bytes` over the file from `offset` on.
inline void writeAt(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream(std::filesystem::path(path), std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(offset))
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The page size of every design: SQLite's default, which the store keeps.
constexpr std::size_t kPageSize = 4096;

/// Flips bit 0 of the byte at `offset`.
inline void flipBit(const std::string& path, std::uint64_t offset) {
    writeAt(path, offset, std::string(1, static_cast<char>(bytesOf(path).at(static_cast<std::size_t>(offset)) ^ 1)));
}

/// Copies page `page` of the database `from` over page `page` of `path`,
/// or zeros over it when `from` is empty.
inline void overwritePage(const std::string& from, const std::string& path, std::uint64_t page) {
    writeAt(path, (page - 1) * kPageSize,
            from.empty() ? std::string(kPageSize, '\0') : bytesOf(from).substr((page - 1) * kPageSize, kPageSize));
}

/// The last page whose B-tree page type is `kind` (5 table interior, 13
/// table leaf); 0 when none is.
inline std::uint64_t lastPageOfKind(const std::string& path, unsigned char kind) {
    const std::string bytes = bytesOf(path);
    std::uint64_t page = bytes.size() / kPageSize;
    while (page > 1 && static_cast<unsigned char>(bytes[(page - 1) * kPageSize]) != kind) {
        --page;
    }
    return page > 1 ? page : 0;
}

/// Stores every page's checksum again, as this software would have written
/// the file: what a stock SQLite program planted then reads as ours. Does
/// nothing to a file whose pages keep no checksums.
inline void restampChecksums(const std::string& path) {
    std::string bytes = bytesOf(path);
    for (std::size_t at = 0; bytes.size() > 20 && bytes[20] == 8 && at + kPageSize <= bytes.size(); at += kPageSize) {
        internal::storePageChecksum(std::span(reinterpret_cast<unsigned char*>(bytes.data()) + at, kPageSize));
    }
    writeAt(path, 0, bytes);
}

} // namespace Zorvan::testing::damage
