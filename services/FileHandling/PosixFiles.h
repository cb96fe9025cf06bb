#pragma once
// What the POSIX parts of the file service share (internal, not installed):
// a descriptor owner, the system's text for an error, and the copying of a
// file's access (owner, group, permission bits, ACL, extended attributes)
// onto another file through its descriptor.

#include <unistd.h>

#include <optional>
#include <string>

#include "FileHandling/NewFile.h"

namespace Zorvan::posix {

// Owns a file descriptor; closes it on every exit path.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            UniqueFd gone(m_fd);
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

// A step that failed: "cannot <what>", and errno (0 when the system gave no
// error: the step was refused here).
struct Failure {
    std::string what;
    int error = 0;
};

// "cannot <what>: <system's reason>", or "cannot <what>" without an error.
std::string describe(const Failure& failure);

std::string reason(int error);

// The identity of what `path` names, relative to the folder `at` (no link
// followed); with an empty path, of the file open as `at`.
bool identityAt(int at, const char* path, FileIdentity& identity);

// Gives the file open as `fd` the access of the file open as `like`: its
// owner and group where this process may hand them over (a member of the
// group may give that alone), its permission bits, its ACL and its other
// extended attributes; attributes of `fd` that `like` lacks are removed, so
// that an ACL inherited from the folder does not stay. Neither the result
// nor any step on the way is looser than `like`: when the ACL cannot be carried, group and others lose
// their bits; when the group could not be given, the group keeps no access
// (the file's own group is not the one `like` trusts). Other attributes that
// cannot be set (security.* without privilege) are skipped.
std::optional<Failure> adoptAttributes(int fd, int like);

} // namespace Zorvan::posix
