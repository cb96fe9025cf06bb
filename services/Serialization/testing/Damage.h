#pragma once
// Damage done to a design file on purpose, as a failing disk, a program
// that writes where it should not, or a copy cut short would do it: each
// function takes the file's UTF-8 name and changes its bytes in place.
// Pages are numbered from 1, as SQLite numbers them.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "Serialization/PageChecksum.h"

namespace Zorvan::testing::damage {

inline std::filesystem::path pathOf(const std::string& file) {
    return std::filesystem::path(std::u8string(file.begin(), file.end()));
}

inline std::string bytesOf(const std::string& file) {
    std::string bytes(static_cast<std::size_t>(std::filesystem::file_size(pathOf(file))), '\0');
    std::ifstream(pathOf(file), std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

/// Writes `bytes` over the file from `offset` on.
inline void writeAt(const std::string& file, std::uint64_t offset, const std::string& bytes) {
    std::fstream(pathOf(file), std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(offset))
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The page size the file's header records.
inline std::size_t pageSize(const std::string& file) {
    const std::string bytes = bytesOf(file);
    const std::size_t size = (std::size_t{static_cast<unsigned char>(bytes.at(16))} << 8) |
                             static_cast<unsigned char>(bytes.at(17));
    return size == 1 ? 65536 : size;
}

/// Inverts bit `bit` (0-7) of the byte at `offset`.
inline void flipBit(const std::string& file, std::uint64_t offset, int bit = 0) {
    const auto at = static_cast<std::size_t>(offset);
    writeAt(file, offset, std::string(1, static_cast<char>(bytesOf(file).at(at) ^ (1 << bit))));
}

/// The offset of the first occurrence of `text`, or npos.
inline std::size_t find(const std::string& file, const std::string& text) { return bytesOf(file).find(text); }

/// Writes page `from` of `other` (of the same page size) over page `to` of `file`.
inline void copyPage(const std::string& other, std::uint64_t from, const std::string& file, std::uint64_t to) {
    const std::size_t size = pageSize(file);
    writeAt(file, (to - 1) * size, bytesOf(other).substr((from - 1) * size, size));
}

inline void zeroPage(const std::string& file, std::uint64_t page) {
    const std::size_t size = pageSize(file);
    writeAt(file, (page - 1) * size, std::string(size, '\0'));
}

/// Copies page `page` of the database `from` over page `page` of `file`,
/// or zeros over it when `from` is empty.
inline void overwritePage(const std::string& from, const std::string& file, std::uint64_t page) {
    from.empty() ? zeroPage(file, page) : copyPage(from, page, file, page);
}

/// The last page whose B-tree page type is `kind` (5 table interior, 13
/// table leaf); 0 when none is.
inline std::uint64_t lastPageOfKind(const std::string& file, unsigned char kind) {
    const std::string bytes = bytesOf(file);
    const std::size_t size = pageSize(file);
    std::uint64_t page = bytes.size() / size;
    while (page > 1 && static_cast<unsigned char>(bytes[(page - 1) * size]) != kind) {
        --page;
    }
    return page > 1 ? page : 0;
}

/// Stores every page's checksum again, as this software would have written
/// the file: what a stock SQLite program planted then reads as ours. Does
/// nothing to a file whose pages keep no checksums.
inline void restampChecksums(const std::string& file) {
    std::string bytes = bytesOf(file);
    const std::size_t size = pageSize(file);
    for (std::size_t at = 0; bytes.size() > 20 && bytes[20] == 8 && at + size <= bytes.size(); at += size) {
        internal::storePageChecksum(std::span(reinterpret_cast<unsigned char*>(bytes.data()) + at, size));
    }
    writeAt(file, 0, bytes);
}

} // namespace Zorvan::testing::damage
