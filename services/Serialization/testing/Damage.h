#pragma once
// Damage done to a design file on purpose, as disks, copies and other
// programs do it: each function takes the file's UTF-8 name and changes its
// bytes in place. Pages are numbered from 1, as SQLite numbers them.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace Zorvan::testing::damage {

inline std::filesystem::path pathOf(const std::string& file) {
    return std::filesystem::path(std::u8string(file.begin(), file.end()));
}

inline std::vector<char> bytesOf(const std::string& file) {
    std::ifstream in(pathOf(file), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& file, const std::vector<char>& bytes) {
    std::ofstream(pathOf(file), std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                         static_cast<std::streamsize>(bytes.size()));
}

// The page size the file's header records.
inline std::size_t pageSize(const std::string& file) {
    const std::vector<char> bytes = bytesOf(file);
    const std::size_t size = (std::size_t{static_cast<unsigned char>(bytes.at(16))} << 8) |
                             static_cast<unsigned char>(bytes.at(17));
    return size == 1 ? 65536 : size;
}

// Inverts bit `bit` (0-7) of the byte at `offset`.
inline void flipBit(const std::string& file, std::size_t offset, int bit = 0) {
    std::vector<char> bytes = bytesOf(file);
    bytes.at(offset) = static_cast<char>(bytes.at(offset) ^ (1 << bit));
    writeBytes(file, bytes);
}

// The offset of the first occurrence of `text`, or npos.
inline std::size_t find(const std::string& file, const std::string& text) {
    const std::vector<char> bytes = bytesOf(file);
    const std::string all(bytes.begin(), bytes.end());
    return all.find(text);
}

inline void zeroPage(const std::string& file, std::size_t page) {
    std::vector<char> bytes = bytesOf(file);
    const std::size_t size = pageSize(file);
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>((page - 1) * size), size, '\0');
    writeBytes(file, bytes);
}

// Writes page `from` of `other` (of the same page size) over page `to` of `file`.
inline void copyPage(const std::string& other, std::size_t from, const std::string& file, std::size_t to) {
    const std::vector<char> source = bytesOf(other);
    std::vector<char> bytes = bytesOf(file);
    const std::size_t size = pageSize(file);
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>((from - 1) * size), size,
                bytes.begin() + static_cast<std::ptrdiff_t>((to - 1) * size));
    writeBytes(file, bytes);
}

} // namespace Zorvan::testing::damage
