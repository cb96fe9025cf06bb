// NewFile through the installed Env, the same on every system: the file is
// opened new in its folder (never an existing file, never through a link),
// readable by its owner alone, and takes the access of its model through
// the handle it was created with.

#include "FileHandling/NewFile.h"

#include <utility>

#include "Common/Process.h"
#include "FileHandling/Env.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/Folder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

[[noreturn]] void fail(const std::string& path, const std::string& why, const std::error_code& error) {
    const std::string message = "Cannot create '" + path + "': " + why + describe(error);
    logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    throw FileNameException(message, path, error);
}

std::string folderOf(const FileName& name) {
    const std::string folder = name.getFolder();
    return folder.empty() ? "." : folder;
}

// Opens the regular file `path` names, links at it followed as the kernel
// would follow them.
std::error_code openFollowed(Env& env, const std::string& path, EnvHandle& file) {
    const ResolvedName resolved = resolveName(path);
    if (const std::error_code error = resolved.error()) {
        return error;
    }
    const FileName name(resolved.path);
    EnvHandle folder;
    std::error_code error = env.openFolder(folderOf(name), folder);
    return error ? error : env.open(folder, name.getLeafName(), OpenOptions{}, file);
}

} // namespace

NewFile NewFile::create(const FileName& name, const FileName& like) {
    const std::string path = name.toNativeString();
    const std::string model = like.toNativeString();
    const std::shared_ptr<Env> env = Env::current();
    // Opened before anything is created, so that a missing model leaves
    // nothing behind.
    EnvHandle from;
    if (const std::error_code error = openFollowed(*env, model, from)) {
        fail(path, "cannot read the access of '" + model + "': ", error);
    }
    EnvHandle folder;
    EnvHandle file;
    const std::string leaf = name.getLeafName();
    // 0600: nobody else may open it before it has the model's access.
    const OpenOptions fresh{OpenOptions::Access::ReadWrite, OpenOptions::Creation::New, 0600};
    if (std::error_code error = env->openFolder(folderOf(name), folder);
        error || (error = env->open(folder, leaf, fresh, file))) {
        fail(path, "", error);
    }
    FileFacts made;
    if (const std::error_code error = env->facts(file, made)) {
        // Made here a moment ago, empty and private: nobody else has it.
        file = EnvHandle();
        (void)env->remove(folder, leaf);
        fail(path, "cannot read its identity: ", error);
    }
    if (const std::error_code error = env->adoptAccess(file, from)) {
        (void)env->removeIf(folder, leaf, made.identity);
        fail(path, "cannot give it the access of '" + model + "': ", error);
    }
    return NewFile(name, made.identity);
}

NewFile::NewFile(FileName name, FileIdentity identity)
    : m_name(std::move(name)), m_identity(identity), m_process(internal::currentProcess()) {}

NewFile::NewFile(NewFile&& other) noexcept
    : m_name(other.m_name), m_identity(other.m_identity), m_released(other.m_released), m_process(other.m_process) {
    other.m_released = true;
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        if (m_process == internal::currentProcess()) {
            discard();
        }
        m_name = other.m_name;
        m_identity = other.m_identity;
        m_released = other.m_released;
        m_process = other.m_process;
        other.m_released = true;
    }
    return *this;
}

NewFile::~NewFile() {
    if (m_process == internal::currentProcess()) {
        discard();
    }
}

bool NewFile::unchanged() const {
    FileIdentity now;
    return identityOf(m_name, now) && sameFile(now, m_identity);
}

void NewFile::discard() noexcept {
    if (m_released) {
        return;
    }
    try {
        const std::shared_ptr<Env> env = Env::current();
        EnvHandle folder;
        if (!env->openFolder(folderOf(m_name), folder)) {
            (void)env->removeIf(folder, m_name.getLeafName(), m_identity);
        }
    } catch (...) {
        // Out of memory for the name: the file stays, as after a crash.
    }
}

bool identityOf(const FileName& name, FileIdentity& identity) {
    const std::shared_ptr<Env> env = Env::current();
    EnvHandle folder;
    FileFacts facts;
    if (std::error_code error = env->openFolder(folderOf(name), folder);
        error || (error = env->look(folder, name.getLeafName(), facts))) {
        if (isAbsent(error)) {
            return false;
        }
        const std::string path = name.toNativeString();
        throw FileNameException("Cannot look at '" + path + "': " + describe(error), path, error);
    }
    identity = facts.identity;
    return true;
}

} // namespace Zorvan
