#pragma once
// SystemCalls: the C library's calls that make a save durable and whole
// (flushes, renames, permission bits, and the temporary file, reads and
// writes of a copy to another device), replaced for every library of the
// test program that includes this header, in one of its source files. While
// a test listens, flushes, renames and changes of permission bits are noted
// ("flush <path>", "rename <from> <to>" for rename and renameat, "bits
// <path>"), and the n-th call of one kind can be made to fail with a given
// errno; every other call goes on
// to the C library. It sees from inside what strace sees from outside, on
// systems that link dynamically (POSIX builds with glibc).
//
// Thread-safety: the replacements may be called from any thread; one test
// at a time listens.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

namespace Zorvan::testing {

class SystemCalls {
public:
    // Starts noting calls afresh; the `nth` call (from 1) of `kind` ("fsync",
    // "fdatasync", "rename", "fchmod", "mkostemp", "read", "write") from now
    // on fails with `error`.
    static void listen(const std::string& kind = "", int nth = 0, int error = 0) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        s.listening = true;
        s.seen.clear();
        s.failing = kind;
        s.nth = nth;
        s.count = 0;
        s.error = error;
    }
    // Stops listening; returns the calls noted.
    static std::vector<std::string> stop() {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        s.listening = false;
        return std::move(s.seen);
    }

    // For the replacements: notes `noted` (unless empty) and returns the
    // errno this call of `kind` fails with, or 0.
    static int call(const std::string& kind, const std::string& noted) {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        if (!s.listening) {
            return 0;
        }
        if (!noted.empty()) {
            s.seen.push_back(noted);
        }
        return kind == s.failing && ++s.count == s.nth ? s.error : 0;
    }
    static std::string pathOf(int fd) {
        char path[4096];
        const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
        return length < 0 ? "?" : std::string(path, static_cast<std::size_t>(length));
    }
    template <class Function>
    static Function* next(const char* name) {
        return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
    }

private:
    struct State {
        std::mutex mutex;
        bool listening = false;
        std::vector<std::string> seen;
        std::string failing;
        int nth = 0;
        int count = 0;
        int error = 0;
    };
    static State& state() {
        static State instance;
        return instance;
    }
};

} // namespace Zorvan::testing

// Visible to the libraries, though test programs hide their symbols by default.
#define ZV_SYSTEM_CALL extern "C" __attribute__((visibility("default")))
// Fails the call with the errno the test asked for, if it did.
#define ZV_FAIL_IF_TOLD(kind, noted)                                                        \
    if (const int error = Zorvan::testing::SystemCalls::call(kind, noted); error != 0) { \
        errno = error;                                                                      \
        return -1;                                                                          \
    }

ZV_SYSTEM_CALL int fsync(int fd) {
    ZV_FAIL_IF_TOLD("fsync", "flush " + Zorvan::testing::SystemCalls::pathOf(fd));
    static auto* const real = Zorvan::testing::SystemCalls::next<int(int)>("fsync");
    return real(fd);
}
ZV_SYSTEM_CALL int fdatasync(int fd) {
    ZV_FAIL_IF_TOLD("fdatasync", "flush " + Zorvan::testing::SystemCalls::pathOf(fd));
    static auto* const real = Zorvan::testing::SystemCalls::next<int(int)>("fdatasync");
    return real(fd);
}
ZV_SYSTEM_CALL int rename(const char* from, const char* to) noexcept {
    ZV_FAIL_IF_TOLD("rename", std::string("rename ") + from + " " + to);
    static auto* const real = Zorvan::testing::SystemCalls::next<int(const char*, const char*) noexcept>("rename");
    return real(from, to);
}
// Renames relative to a held folder note the same line as rename(), with
// the folder's path in front of each name.
ZV_SYSTEM_CALL int renameat(int fromFolder, const char* from, int toFolder, const char* to) noexcept {
    ZV_FAIL_IF_TOLD("rename", "rename " + Zorvan::testing::SystemCalls::pathOf(fromFolder) + "/" + from + " " +
                                  Zorvan::testing::SystemCalls::pathOf(toFolder) + "/" + to);
    static auto* const real =
        Zorvan::testing::SystemCalls::next<int(int, const char*, int, const char*) noexcept>("renameat");
    return real(fromFolder, from, toFolder, to);
}
ZV_SYSTEM_CALL int fchmod(int fd, mode_t mode) noexcept {
    ZV_FAIL_IF_TOLD("fchmod", "bits " + Zorvan::testing::SystemCalls::pathOf(fd));
    static auto* const real = Zorvan::testing::SystemCalls::next<int(int, mode_t) noexcept>("fchmod");
    return real(fd, mode);
}
ZV_SYSTEM_CALL int mkostemp(char* name, int flags) {
    ZV_FAIL_IF_TOLD("mkostemp", "");
    static auto* const real = Zorvan::testing::SystemCalls::next<int(char*, int)>("mkostemp");
    return real(name, flags);
}
ZV_SYSTEM_CALL ssize_t read(int fd, void* buffer, size_t size) {
    ZV_FAIL_IF_TOLD("read", "");
    static auto* const real = Zorvan::testing::SystemCalls::next<ssize_t(int, void*, size_t)>("read");
    return real(fd, buffer, size);
}
ZV_SYSTEM_CALL ssize_t write(int fd, const void* buffer, size_t size) {
    ZV_FAIL_IF_TOLD("write", "");
    static auto* const real = Zorvan::testing::SystemCalls::next<ssize_t(int, const void*, size_t)>("write");
    return real(fd, buffer, size);
}
