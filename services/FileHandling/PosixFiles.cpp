#include "PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

namespace Zorvan::posix {
namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

// The access ACL as the kernel hands it out as an extended attribute.
constexpr const char* kAccessAcl = "system.posix_acl_access";

// Reads an attribute list or value through `read(buffer, size)`, which
// answers like flistxattr/fgetxattr. The size may grow between asking for
// it and reading (someone sets the attribute meanwhile): then ask again.
template <class Read>
std::optional<std::string> readSized(Read read) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = read(nullptr, 0);
        if (size <= 0) {
            return size == 0 ? std::optional<std::string>(std::string()) : std::nullopt;
        }
        std::string buffer(static_cast<std::size_t>(size), '\0');
        const ssize_t got = read(buffer.data(), buffer.size());
        if (got >= 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
        if (errno != ERANGE) {
            return std::nullopt;
        }
    }
    return std::nullopt; // errno is ERANGE
}

// The names of the extended attributes of `fd`; none where the file system
// has no extended attributes.
std::optional<std::vector<std::string>> attributeNames(int fd) {
    const std::optional<std::string> list =
        readSized([fd](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); });
    if (!list) {
        if (errno == ENOTSUP) {
            return std::vector<std::string>();
        }
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < list->size();) {
        const std::size_t end = std::min(list->find('\0', start), list->size());
        if (end > start) {
            names.push_back(list->substr(start, end - start));
        }
        start = end + 1;
    }
    return names;
}

std::optional<std::string> attributeValue(int fd, const std::string& name) {
    return readSized(
        [fd, &name](char* buffer, std::size_t size) { return ::fgetxattr(fd, name.c_str(), buffer, size); });
}

// What an access ACL holds, in the kernel's form: a 4-byte version (2),
// then 8-byte entries {tag, permissions: 16 bits; id: 32 bits}, little-endian.
struct AclShape {
    bool valid = false;
    bool hasMask = false; // then the group bits of the mode are the mask
};

constexpr std::size_t kAclHeader = 4;
constexpr std::size_t kAclEntry = 8;
constexpr unsigned kAclGroupObj = 0x04;
constexpr unsigned kAclMask = 0x10;

unsigned le16(const std::string& data, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(data[i])); };
    return byte(at) | (byte(at + 1) << 8);
}

// Reads the shape of `acl`; with clearOwningGroup takes every permission
// from the owning group's entry (the group the file got is not the one the
// ACL was written for). Not valid when `acl` is not in the form above.
AclShape inspectAcl(std::string& acl, bool clearOwningGroup) {
    AclShape shape;
    if (acl.size() < kAclHeader || (acl.size() - kAclHeader) % kAclEntry != 0 || le16(acl, 0) != 2 ||
        le16(acl, 2) != 0) {
        return shape;
    }
    bool groupFound = false;
    for (std::size_t at = kAclHeader; at < acl.size(); at += kAclEntry) {
        const unsigned tag = le16(acl, at);
        if (tag == kAclGroupObj) {
            groupFound = true;
            if (clearOwningGroup) {
                acl[at + 2] = '\0';
                acl[at + 3] = '\0';
            }
        }
        shape.hasMask = shape.hasMask || tag == kAclMask;
    }
    shape.valid = groupFound;
    return shape;
}

// Only a privileged process may give a file away; a member of the group
// may still give it that group. `groupGiven`: the file has `from`'s group now.
std::error_code giveOwner(int fd, const struct stat& from, const struct stat& to, bool& groupGiven) {
    const auto mayNot = [](int error) { return error == EPERM || error == EINVAL; };
    groupGiven = to.st_gid == from.st_gid;
    if (to.st_uid == from.st_uid && groupGiven) {
        return {};
    }
    if (accessCalls().chown(fd, from.st_uid, from.st_gid) == 0) {
        groupGiven = true;
    } else if (!mayNot(errno)) {
        return lastError();
    } else if (!groupGiven) {
        if (accessCalls().chown(fd, static_cast<uid_t>(-1), from.st_gid) == 0) {
            groupGiven = true;
        } else if (!mayNot(errno)) {
            return lastError();
        }
    }
    return {};
}

// What became of the ACL when the attributes were carried over.
struct AclCarried {
    bool carried = true;
    bool groupBitsAreMask = false;
};

// Gives `fd` the extended attributes of `like`, its ACL among them, and
// removes those `like` lacks. Without `groupGiven` the ACL's owning-group
// entry loses its permissions.
std::error_code carryAttributes(int fd, int like, bool groupGiven, AclCarried& acl) {
    const std::optional<std::vector<std::string>> wanted = attributeNames(like);
    const std::optional<std::vector<std::string>> present = attributeNames(fd);
    if (!wanted || !present) {
        return lastError();
    }
    for (const std::string& name : *present) {
        if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
            accessCalls().removeAttribute(fd, name.c_str()) != 0 && errno != ENODATA && name == kAccessAcl) {
            acl.carried = false;
        }
    }
    for (const std::string& name : *wanted) {
        std::optional<std::string> value = attributeValue(like, name);
        if (name == kAccessAcl) {
            AclShape shape;
            if (value) {
                shape = inspectAcl(*value, !groupGiven);
            }
            acl.carried = acl.carried && shape.valid &&
                          accessCalls().setAttribute(fd, name.c_str(), value->data(), value->size(), 0) == 0;
            acl.groupBitsAreMask = shape.hasMask;
        } else if (value) {
            // Attributes the process may not set are left out.
            [[maybe_unused]] const int ignored =
                accessCalls().setAttribute(fd, name.c_str(), value->data(), value->size(), 0);
        }
    }
    return {};
}

// `from`'s permission bits, less what group and others may not have where
// the ACL or the group could not be carried over.
mode_t modeFor(const struct stat& from, const AclCarried& acl, bool groupGiven) {
    mode_t mode = from.st_mode & 07777;
    if (!acl.carried) {
        mode &= static_cast<mode_t>(~(S_IRWXG | S_IRWXO));
    } else if (!groupGiven && !acl.groupBitsAreMask) {
        mode &= static_cast<mode_t>(~S_IRWXG);
    }
    return mode;
}

} // namespace

AccessCalls& accessCalls() {
    static AccessCalls calls{::fchmod, ::fchown, ::fsetxattr, ::fremovexattr};
    return calls;
}

std::error_code adoptAttributes(int fd, int like) {
    struct stat from {};
    struct stat to {};
    if (::fstat(like, &from) != 0 || ::fstat(fd, &to) != 0) {
        return lastError();
    }
    // First the file is made its owner's alone, so that no one gains access
    // through the steps below: the new group does not meet the file's old
    // group bits, and the owner may set the user attributes.
    if ((to.st_mode & 07777) != (S_IRUSR | S_IWUSR) && accessCalls().chmod(fd, S_IRUSR | S_IWUSR) != 0) {
        return lastError();
    }
    bool groupGiven = false;
    AclCarried acl;
    // The ACL comes before the permission bits: setting it brings the bits
    // to like's in one step, never through a looser state.
    std::error_code error = giveOwner(fd, from, to, groupGiven);
    if (error || (error = carryAttributes(fd, like, groupGiven, acl))) {
        return error;
    }
    return accessCalls().chmod(fd, modeFor(from, acl, groupGiven)) == 0 ? std::error_code() : lastError();
}

} // namespace Zorvan::posix
