// Preloaded into a program (LD_PRELOAD) by the flush test: appends to the
// file ZV_FLUSH_LOG names one line for each flush (fsync, fdatasync),
// rename and removal (relative to a folder, as the file service makes
// them) the system carries out, with the path of what it was made on, as
// the system names the descriptor.
// Linux only (/proc/self/fd). Test code: never installed.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The path the descriptor `fd` (AT_FDCWD: the working folder) was reached by.
std::string pathOf(int fd) {
    char path[PATH_MAX];
    const std::string link = fd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = ::readlink(link.c_str(), path, sizeof path);
    return size > 0 ? std::string(path, static_cast<std::size_t>(size)) : "fd" + std::to_string(fd);
}

std::string pathAt(int folder, const char* name) {
    if (name[0] == '/') {
        return name;
    }
    return pathOf(folder) + "/" + name;
}

void record(const std::string& line) {
    const char* log = std::getenv("ZV_FLUSH_LOG");
    if (log == nullptr) {
        return;
    }
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string text = line + "\n";
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    }
}

// The system's own function `name`, which this library stands in front of.
template <class Function>
Function* next(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

int recorded(int result, const std::string& line) {
    if (result == 0) {
        record(line);
    }
    return result;
}

} // namespace

// Seen by the loader in front of the system's, whatever the build hides by default.
#define ZV_STANDS_IN [[gnu::visibility("default")]]

extern "C" {

ZV_STANDS_IN int fsync(int fd) {
    static auto* const real = next<int(int)>("fsync");
    return recorded(real(fd), "sync " + pathOf(fd));
}

ZV_STANDS_IN int fdatasync(int fd) {
    static auto* const real = next<int(int)>("fdatasync");
    return recorded(real(fd), "sync " + pathOf(fd));
}

ZV_STANDS_IN int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    static auto* const real = next<int(int, const char*, int, const char*)>("renameat");
    return recorded(real(fromFolder, from, toFolder, to),
                    "rename " + pathAt(fromFolder, from) + " " + pathAt(toFolder, to));
}

ZV_STANDS_IN int unlinkat(int folder, const char* name, int flags) {
    static auto* const real = next<int(int, const char*, int)>("unlinkat");
    return recorded(real(folder, name, flags), "remove " + pathAt(folder, name));
}

} // extern "C"
