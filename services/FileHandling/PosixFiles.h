#pragma once
// The copying of a file's access (owner, group, permission bits, ACL,
// extended attributes) onto another file through its descriptor, for the
// native Env on POSIX systems (internal, not installed).

#include <sys/types.h>

#include <cstddef>
#include <system_error>

#include "FileHandling/FileHandlingExport.h"

namespace Zorvan::posix {

// The system calls that change a file's access, in one table that a test
// may replace to see the file after each of them (the order of the steps is
// beneath the Env, where no Env double can see it).
struct AccessCalls {
    int (*chmod)(int fd, mode_t mode);
    int (*chown)(int fd, uid_t owner, gid_t group);
    int (*setAttribute)(int fd, const char* name, const void* value, std::size_t size, int flags);
    int (*removeAttribute)(int fd, const char* name);
};
SERVICES_FILEHANDLING_EXPORT AccessCalls& accessCalls();

// Gives the file open as `fd` the access of the file open as `like`: its
// owner and group where this process may hand them over (a member of the
// group may give that alone), its permission bits, its ACL and its other
// extended attributes; attributes of `fd` that `like` lacks are removed, so
// that an ACL inherited from the folder does not stay. Neither the result
// nor any step on the way is looser than `like`: when the ACL cannot be carried, group and others lose
// their bits; when the group could not be given, the group keeps no access
// (the file's own group is not the one `like` trusts). Other attributes that
// cannot be set (security.* without privilege) are skipped. Returns the
// error of the first step that failed.
std::error_code adoptAttributes(int fd, int like);

} // namespace Zorvan::posix
