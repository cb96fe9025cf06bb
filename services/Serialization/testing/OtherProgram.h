#pragma once
// Another program with its own connection to a design, through the
// system's SQLite and its default VFS, run statement by statement: a child
// process on POSIX (in this process the system SQLite's locks belong to the
// process, and a descriptor of the file the store closes would drop them);
// on Windows a connection of this process, whose locks belong to its handle.

#include <sqlite3.h>

#include <chrono>
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
    /// Opens `file` (read and write, made if missing), waiting up to `busyTimeout` for a lock
    /// as a program with a busy timeout does (PRAGMA busy_timeout changes it).
    explicit OtherProgram(const std::string& file, std::chrono::milliseconds busyTimeout = {}) {
#ifdef _WIN32
        m_db = open(file, busyTimeout);
#else
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) {
            return;
        }
        m_child = ::fork();
        if (m_child == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            sqlite3* db = open(file, busyTimeout);
            std::string sql;
            while (receive(toChild[0], sql)) {
                send(toParent[1], exec(db, sql));
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

    /// Runs `sql`: the first column of the last row it returned ("-" for
    /// none, or a NULL), or "error" and SQLite's result code.
    std::string run(const std::string& sql) {
        const std::lock_guard lock(m_mutex);
#ifdef _WIN32
        return exec(m_db, sql);
#else
        std::string answer = "no answer";
        return send(m_to, sql) && receive(m_from, answer) ? answer : "no answer";
#endif
    }

private:
    static sqlite3* open(const std::string& file, std::chrono::milliseconds busyTimeout) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        sqlite3_busy_timeout(db, static_cast<int>(busyTimeout.count()));
        return db;
    }
    static std::string exec(sqlite3* db, const std::string& sql) {
        std::string value = "-";
        const auto last = [](void* into, int, char** columns, char**) {
            *static_cast<std::string*>(into) = columns[0] != nullptr ? columns[0] : "-";
            return 0;
        };
        const int code = sqlite3_exec(db, sql.c_str(), last, &value, nullptr);
        return code == SQLITE_OK ? value : "error " + std::to_string(code);
    }
#ifndef _WIN32
    // A message on a pipe: its size, then its bytes.
    static bool send(int fd, const std::string& message) {
        const auto size = static_cast<std::uint32_t>(message.size());
        return ::write(fd, &size, sizeof size) == sizeof size &&
               ::write(fd, message.data(), size) == static_cast<ssize_t>(size);
    }
    static bool receive(int fd, std::string& message) {
        std::uint32_t size = 0;
        if (::read(fd, &size, sizeof size) != sizeof size) {
            return false;
        }
        message.assign(size, '\0');
        return ::read(fd, message.data(), size) == static_cast<ssize_t>(size);
    }
#endif

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
