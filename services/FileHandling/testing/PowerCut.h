#pragma once
// PowerCut: what one folder holds after a power cut. While a PowerCut
// lives it follows the calls of every library of the test program that
// change files (SystemCalls.h and the replacements below) and, for the
// regular files directly in its folder, keeps what undoes all that has not
// reached the disk:
//   - a file's content as last flushed (fsync or fdatasync of the file),
//     copied before its first write or truncation since;
//   - the folder's names as last flushed (fsync or fdatasync of the
//     folder), and a hard link (in a folder beside it) to each file whose
//     name goes away meanwhile: unlinked, renamed, or renamed over.
// What the folder holds when recording starts counts as flushed. cut() puts
// the folder back as the disk holds it then: names the folder did not flush
// are gone (whichever call made them), names removed or renamed over since
// hold their file again, and every file holds its flushed content. A
// flushed name that went away by a call not followed here makes cut()
// throw, so a call this header misses cannot go unnoticed.
//
// Include it instead of SystemCalls.h, in one source file of a test program
// (POSIX systems with glibc). One PowerCut at a time; the calls it follows
// may come from any thread.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "FileHandling/testing/SystemCalls.h"

namespace Zorvan::testing {

class PowerCut final : public SystemCalls::Follower {
public:
    explicit PowerCut(const std::filesystem::path& folder)
        : m_folder(std::filesystem::canonical(folder)), m_links(m_folder.string() + ".links"), m_names(names()) {
        std::filesystem::create_directory(m_links);
        SystemCalls::follower() = this;
    }
    ~PowerCut() override {
        SystemCalls::follower() = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(m_links, ignored);
    }

    // Stops recording and leaves the folder as the disk holds it.
    void cut() {
        namespace fs = std::filesystem;
        SystemCalls::follower() = nullptr;
        const std::lock_guard lock(m_mutex);
        if (!m_failure.empty()) {
            throw std::runtime_error("a call could not be followed: " + m_failure);
        }
        for (const auto& [name, inode] : names()) {
            if (!m_names.contains(name) || m_names.at(name) != inode) {
                fs::remove(m_folder / name);
            }
        }
        for (const auto& [name, inode] : m_names) {
            if (!fs::exists(fs::symlink_status(m_folder / name))) {
                if (!m_linked.contains(inode)) {
                    throw std::logic_error("'" + name + "' went away by a call the power cut did not see");
                }
                fs::create_hard_link(m_links / std::to_string(inode), m_folder / name);
            }
        }
        for (const auto& [name, inode] : names()) {
            if (m_contents.contains(inode)) {
                std::ofstream(m_folder / name, std::ios::binary | std::ios::trunc) << m_contents.at(inode);
            }
        }
    }

private:
    using Names = std::map<std::string, ino_t>;

    // Runs `note` for a call, under the lock; what it does itself is not
    // followed, and errno stays as the call set it. A failure is kept for
    // cut(): the call must go on.
    template <class Note>
    void follow(Note note) {
        if (t_inside) {
            return;
        }
        const int error = errno;
        t_inside = true;
        const std::lock_guard lock(m_mutex);
        try {
            note();
        } catch (const std::exception& e) {
            m_failure = e.what();
        }
        t_inside = false;
        errno = error;
    }

    void writing(int fd) override {
        follow([&] {
            struct stat st {};
            if (ours(fd, st) && S_ISREG(st.st_mode) && !m_contents.contains(st.st_ino)) {
                std::ostringstream content;
                content << std::ifstream(descriptor(fd), std::ios::binary).rdbuf();
                m_contents[st.st_ino] = content.str();
            }
        });
    }
    void flushed(int fd) override {
        follow([&] {
            std::error_code error;
            struct stat st {};
            if (std::filesystem::read_symlink(descriptor(fd), error) == m_folder) {
                m_names = names();
            } else if (ours(fd, st)) {
                m_contents.erase(st.st_ino);
            }
        });
    }
    void removing(int at, const char* path) override {
        follow([&] {
            namespace fs = std::filesystem;
            const fs::path name = at == AT_FDCWD ? fs::absolute(path) : fs::read_symlink(descriptor(at)) / path;
            std::error_code error;
            struct stat st {};
            const auto flushedThere = [&](const auto& entry) { return entry.second == st.st_ino; };
            if (fs::weakly_canonical(name.parent_path(), error) == m_folder && ::lstat(name.c_str(), &st) == 0 &&
                S_ISREG(st.st_mode) && !m_linked.contains(st.st_ino) &&
                std::any_of(m_names.begin(), m_names.end(), flushedThere)) {
                fs::create_hard_link(name, m_links / std::to_string(st.st_ino));
                m_linked.insert(st.st_ino);
            }
        });
    }

    // True when `fd` is open on a file of the folder (still, or once
    // there); `st` describes it.
    bool ours(int fd, struct stat& st) const {
        std::error_code error;
        return ::fstat(fd, &st) == 0 && std::filesystem::read_symlink(descriptor(fd), error).parent_path() == m_folder;
    }
    static std::filesystem::path descriptor(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
    // The folder's regular files, by name.
    Names names() const {
        Names all;
        for (const auto& entry : std::filesystem::directory_iterator(m_folder)) {
            struct stat st {};
            if (::lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                all[entry.path().filename().string()] = st.st_ino;
            }
        }
        return all;
    }

    const std::filesystem::path m_folder;
    const std::filesystem::path m_links;
    std::mutex m_mutex;
    Names m_names;                           // as last flushed
    std::map<ino_t, std::string> m_contents; // as last flushed, of the files written since
    std::set<ino_t> m_linked;                // files kept in m_links
    std::string m_failure;
    inline static thread_local bool t_inside = false;
};

} // namespace Zorvan::testing

// A replacement of `name` that tells the follower first (`follow`: ZV_FOLLOW
// statements), then makes the call.
#define ZV_FOLLOWED(type, name, parameters, arguments, qualifiers, follow)                          \
    ZV_SYSTEM_CALL type name parameters qualifiers {                                                \
        follow static auto* const real = Zorvan::testing::SystemCalls::next<decltype(name)>(#name); \
        return real arguments;                                                                      \
    }
ZV_FOLLOWED(ssize_t, pwrite, (int fd, const void* data, size_t size, off_t at), (fd, data, size, at), ,
            ZV_FOLLOW(writing, fd))
ZV_FOLLOWED(ssize_t, pwrite64, (int fd, const void* data, size_t size, off64_t at), (fd, data, size, at), ,
            ZV_FOLLOW(writing, fd))
ZV_FOLLOWED(int, ftruncate, (int fd, off_t size), (fd, size), noexcept, ZV_FOLLOW(writing, fd))
ZV_FOLLOWED(int, ftruncate64, (int fd, off64_t size), (fd, size), noexcept, ZV_FOLLOW(writing, fd))
ZV_FOLLOWED(int, unlink, (const char* path), (path), noexcept, ZV_FOLLOW(removing, AT_FDCWD, path))
ZV_FOLLOWED(int, remove, (const char* path), (path), noexcept, ZV_FOLLOW(removing, AT_FDCWD, path))
ZV_FOLLOWED(int, unlinkat, (int at, const char* path, int flags), (at, path, flags), noexcept,
            ZV_FOLLOW(removing, at, path))
ZV_FOLLOWED(int, renameat2, (int fromAt, const char* from, int toAt, const char* to, unsigned flags),
            (fromAt, from, toAt, to, flags), noexcept, ZV_FOLLOW(removing, fromAt, from) ZV_FOLLOW(removing, toAt, to))
