#pragma once
// Helpers of the POSIX tests: what the system shows of a file (status,
// extended attributes, ACL) and running a check as another user.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace Zorvan::testing {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

inline struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Every extended attribute of `path` (the ACL among them), name to value.
inline std::map<std::string, std::string> attributes(const std::string& path) {
    std::map<std::string, std::string> all;
    char names[4096];
    char value[4096];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (const char* name = names; name < names + size; name += std::string(name).size() + 1) {
        const ssize_t length = ::getxattr(path.c_str(), name, value, sizeof value);
        all[name] = std::string(value, length < 0 ? 0 : static_cast<std::size_t>(length));
    }
    return all;
}

// Runs setfacl with `arguments`; false when the file system takes no ACL.
inline bool setfacl(const std::string& arguments) {
    return std::system(("setfacl " + arguments + " 2>/dev/null").c_str()) == 0;
}

// The ACL of `path` as getfacl lists it, without header, ids as numbers.
inline std::string getfacl(const std::string& path) {
    std::string text;
    if (FILE* pipe = ::popen(("getfacl -cnp '" + path + "' 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
            text.append(buffer, got);
        }
        ::pclose(pipe);
    }
    return text;
}

// Runs `check` in a forked child that has become user `uid` of group `gid`
// (no other groups) for good and returns its result (0 to 254); -1 when the
// child could not switch or died (it is killed after 30 seconds).
template <class Check>
int asUser(uid_t uid, gid_t gid, Check check) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(30);
        const bool switched = ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                              ::setresuid(uid, uid, uid) == 0;
        ::_exit(switched ? check() : 255);
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

} // namespace Zorvan::testing
