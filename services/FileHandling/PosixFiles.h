#pragma once
// The copying of a file's access (owner, group, permission bits, ACL,
// extended attributes) onto another file through its descriptor, for the
// native Env on POSIX systems (internal, not installed).

#include <system_error>

namespace Zorvan::posix {

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
