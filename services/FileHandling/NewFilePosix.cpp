// NewFile on POSIX systems: the file is created with O_EXCL | O_NOFOLLOW,
// readable by its owner alone, and given the access of `like` through the
// descriptor it was created with (see PosixFiles.h).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "FileHandling/FileNameException.h"
#include "FileHandling/NewFile.h"
#include "Logging/Logging.h"
#include "PosixFiles.h"

namespace Zorvan {
namespace {

using posix::Failure;
using posix::identityAt;
using posix::UniqueFd;

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

[[noreturn]] void fail(const std::string& path, const std::string& message) {
    logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    throw FileNameException(message, path);
}

} // namespace

NewFile NewFile::create(const FileName& name, const FileName& like) {
    const std::string path = name.toNativeString();
    const std::string model = like.toNativeString();
    // Opened before anything is created, so that a missing model leaves
    // nothing behind. O_NONBLOCK: a FIFO at that name must not hang the save.
    const UniqueFd from(::open(model.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!from) {
        fail(path, "Cannot create '" + path + "': cannot read the access of '" + model + "': " + posix::reason(errno));
    }
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        fail(path, "Cannot create '" + path + "': " + posix::reason(errno));
    }
    FileIdentity identity;
    if (!identityAt(fd.get(), "", identity)) {
        const int error = errno;
        ::unlink(path.c_str()); // made a moment ago, and still empty and private
        fail(path, "Cannot create '" + path + "': cannot read its identity: " + posix::reason(error));
    }
    if (const std::optional<Failure> failure = posix::adoptAttributes(fd.get(), from.get())) {
        // Removed only while the name still holds the file made here.
        FileIdentity now;
        if (identityOf(name, now) && now == identity) {
            ::unlink(path.c_str());
        }
        fail(path, "Cannot create '" + path + "': " + posix::describe(*failure));
    }
    return NewFile(name, identity);
}

void NewFile::discard() noexcept {
    try {
        if (!m_released && unchanged()) {
            ::unlink(m_name.toNativeString().c_str());
        }
    } catch (...) {
        // Out of memory for the name: the file stays, as after a crash.
    }
}

bool identityOf(const FileName& name, FileIdentity& identity) {
    return identityAt(AT_FDCWD, name.toNativeString().c_str(), identity);
}

bool isHeldOpen(const FileName&) { return false; }

std::size_t maxLeafNameLength(const FileName& name) {
    const std::string folder = name.getFolder();
    const long longest = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return longest > 0 ? static_cast<std::size_t>(longest) : std::size_t{255};
}

} // namespace Zorvan
