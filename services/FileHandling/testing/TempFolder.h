#pragma once
// A fresh folder for one test, removed with
// everything in it afterwards (read-only files and folders included). Names
// go in and out as UTF-8 text, the form the file service takes, on every
// system.

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

namespace Zorvan::testing {

class TempFolder {
public:
    TempFolder() : m_path(std::filesystem::temp_directory_path() / ("zvtest-" + std::to_string(std::random_device()()))) {
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder() {
        try {
            clear();
        } catch (const std::filesystem::filesystem_error&) {
            // removed below as far as it can be
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& root() const { return m_path; }
    // The UTF-8 name of `leaf` (UTF-8) in the folder.
    std::string path(const std::string& leaf) const { return utf8(m_path / fromUtf8(leaf)); }
    // Writes `content` to `leaf` and returns its name.
    std::string write(const std::string& leaf, const std::string& content) const {
        std::ofstream(fromUtf8(path(leaf)), std::ios::binary) << content;
        return path(leaf);
    }
    static std::string read(const std::string& file) {
        std::ostringstream content;
        content << std::ifstream(fromUtf8(file), std::ios::binary).rdbuf();
        return content.str();
    }

    // Removes everything in the folder, read-only files and folders included;
    // throws std::filesystem::filesystem_error when something stays.
    void clear() const {
        namespace fs = std::filesystem;
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (const auto& entry : fs::recursive_directory_iterator(m_path, ignored)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow,
                            ignored);
        }
        for (const auto& entry : fs::directory_iterator(m_path)) {
            fs::remove_all(entry.path());
        }
    }
    // What `in` (this folder unless given) holds: each leaf with the bytes of
    // a file, where a link leads, or that it is neither.
    std::map<std::string, std::string> contents(const std::filesystem::path& in = {}) const {
        std::map<std::string, std::string> all;
        for (const auto& entry : std::filesystem::directory_iterator(in.empty() ? m_path : in)) {
            all[utf8(entry.path().filename())] =
                entry.is_symlink()        ? "<link to " + utf8(std::filesystem::read_symlink(entry)) + ">"
                : entry.is_regular_file() ? read(utf8(entry.path()))
                                          : "<not a regular file>";
        }
        return all;
    }

    static std::filesystem::path fromUtf8(const std::string& text) {
        return std::filesystem::path(std::u8string(text.begin(), text.end()));
    }
    static std::string utf8(const std::filesystem::path& path) {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    }

private:
    const std::filesystem::path m_path;
};

} // namespace Zorvan::testing
