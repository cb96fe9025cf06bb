#pragma once
// Damage done to a design file on purpose, as a failing disk, a program
// that writes where it should not, or a copy cut short would do it: each
// function takes the file's path and changes its bytes in place. Page
// numbers count from 1, as SQLite's do.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "Serialization/PageChecksum.h"

namespace Zorvan::testing::damage {

/// The file's bytes.
inline std::string bytesOf(const std::string& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Writes `bytes` over the file from `offset` on.
inline void writeAt(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    std::fstream file(std::filesystem::path(path), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The database's page size, from its header (bytes 16 and 17; 1 is 65536).
inline std::size_t pageSizeOf(const std::string& path) {
    const std::string header = bytesOf(path).substr(0, 18);
    const std::size_t size = header.size() < 18 ? 0
                                                : std::size_t{static_cast<unsigned char>(header[16])} << 8 |
                                                      static_cast<unsigned char>(header[17]);
    return size == 1 ? 65536 : size;
}

/// Flips bit `bit` of the byte at `offset`.
inline void flipBit(const std::string& path, std::uint64_t offset, int bit = 0) {
    std::string byte = bytesOf(path).substr(static_cast<std::size_t>(offset), 1);
    byte[0] = static_cast<char>(byte[0] ^ (1 << bit));
    writeAt(path, offset, byte);
}

/// Overwrites page `page` with zeros.
inline void zeroPage(const std::string& path, std::uint64_t page) {
    const std::size_t size = pageSizeOf(path);
    writeAt(path, (page - 1) * size, std::string(size, '\0'));
}

/// Cuts the file to `size` bytes.
inline void cutTo(const std::string& path, std::uint64_t size) { std::filesystem::resize_file(path, size); }

/// Copies page `page` of the database `from` over the same page of `path`.
inline void copyPage(const std::string& from, const std::string& path, std::uint64_t page) {
    const std::size_t size = pageSizeOf(from);
    writeAt(path, (page - 1) * size, bytesOf(from).substr(static_cast<std::size_t>((page - 1) * size), size));
}

/// The first page after page 1 whose B-tree page type is `kind` (2 index
/// interior, 5 table interior, 10 index leaf, 13 table leaf); 0 when none is.
inline std::uint64_t firstPageOfKind(const std::string& path, unsigned char kind) {
    const std::string bytes = bytesOf(path);
    const std::size_t size = pageSizeOf(path);
    for (std::size_t at = size; size != 0 && at < bytes.size(); at += size) {
        if (static_cast<unsigned char>(bytes[at]) == kind) {
            return at / size + 1;
        }
    }
    return 0;
}

/// Makes `path` an empty database of the system's SQLite, which a store
/// opened for writing makes a design of as designs were written before
/// their pages carried checksums: a stock program's commit to it then goes
/// unnoticed, as it did to every design then.
inline void emptyDatabaseWithoutChecksums(const std::string& path) {
    sqlite3* db = nullptr;
    (void)sqlite3_open(path.c_str(), &db);
    (void)sqlite3_exec(db, "CREATE TABLE t(x); DROP TABLE t", nullptr, nullptr, nullptr);
    (void)sqlite3_close(db);
}

/// Stores every page's checksum again, as this software would have written
/// the file: what a stock SQLite program planted then reads as ours. Does
/// nothing to a file whose pages keep no checksums.
inline void restampChecksums(const std::string& path) {
    std::string bytes = bytesOf(path);
    const std::size_t size = pageSizeOf(path);
    if (size == 0 || bytes.size() < 21 || static_cast<unsigned char>(bytes[20]) != internal::kPageChecksumBytes) {
        return;
    }
    for (std::size_t at = 0; at + size <= bytes.size(); at += size) {
        internal::storePageChecksum(std::span(reinterpret_cast<unsigned char*>(bytes.data()) + at, size));
    }
    writeAt(path, 0, bytes);
}

} // namespace Zorvan::testing::damage
