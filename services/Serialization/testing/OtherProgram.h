#pragma once
// Another program with its own connection to a design, through the
// system's SQLite and its default VFS, run statement by statement: a child
// process on POSIX (in this process the system SQLite's locks belong to the
// process, and a descriptor of the file the store closes would drop them);
// on Windows a connection of this process, whose locks belong to its handle.

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace Zorvan::testing {

class OtherProgram {
public:
    /// Opens `file` (read and write) without waiting for locks.
    explicit OtherProgram(const std::string& file) {
#ifdef _WIN32
        sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
#else
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) {
            return;
        }
        m_child = ::fork();
        if (m_child == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            sqlite3* db = nullptr;
            sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
            std::uint32_t size = 0;
            while (::read(toChild[0], &size, sizeof size) == sizeof size) {
                std::string sql(size, '\0');
                if (::read(toChild[0], sql.data(), size) != static_cast<ssize_t>(size)) {
                    break;
                }
                const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK
                                       ? SQLITE_OK
                                       : sqlite3_extended_errcode(db);
                (void)!::write(toParent[1], &result, sizeof result);
            }
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        m_to = toChild[1];
        m_from = toParent[0];
#endif
    }
    ~OtherProgram() {
#ifdef _WIN32
        sqlite3_close(m_db);
#else
        ::close(m_to);
        ::close(m_from);
        ::kill(m_child, SIGKILL);
        ::waitpid(m_child, nullptr, 0);
#endif
    }
    OtherProgram(const OtherProgram&) = delete;
    OtherProgram& operator=(const OtherProgram&) = delete;

    /// Runs `sql`; SQLite's (extended) result code.
    int run(const std::string& sql) {
        const std::lock_guard lock(m_mutex);
#ifdef _WIN32
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? SQLITE_OK
                                                                                        : sqlite3_extended_errcode(m_db);
#else
        const auto size = static_cast<std::uint32_t>(sql.size());
        int result = -1;
        if (::write(m_to, &size, sizeof size) != sizeof size ||
            ::write(m_to, sql.data(), size) != static_cast<ssize_t>(size) ||
            ::read(m_from, &result, sizeof result) != sizeof result) {
            return -1;
        }
        return result;
#endif
    }

private:
    std::mutex m_mutex;
#ifdef _WIN32
    sqlite3* m_db = nullptr;
#else
    pid_t m_child = -1;
    int m_to = -1;
    int m_from = -1;
#endif
};

} // namespace Zorvan::testing
