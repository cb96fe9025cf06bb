// NewFile through the installed Env, the same on every system: the file is
// opened new in its folder (never an existing file, never through a link),
// readable by its owner alone, and takes the access of its model through
// the handle it was created with.

#include "FileHandling/NewFile.h"

#include <optional>
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

// Makes `site`'s leaf new, with the access of the open file `from`.
FileIdentity made(const Site& site, const EnvHandle& from, const std::string& model) {
    Env& env = site.folder->env();
    const EnvHandle& folder = site.folder->handle();
    const std::string path = site.folder->pathOf(site.leaf);
    EnvHandle file;
    // 0600: nobody else may open it before it has the model's access.
    const OpenOptions fresh{OpenOptions::Access::ReadWrite, OpenOptions::Creation::New, 0600};
    if (const std::error_code error = env.open(folder, site.leaf, fresh, file)) {
        fail(path, "", error);
    }
    FileFacts facts;
    if (const std::error_code error = env.facts(file, facts)) {
        // Made here a moment ago, empty and private: nobody else has it.
        file = EnvHandle();
        (void)env.remove(folder, site.leaf);
        fail(path, "cannot read its identity: ", error);
    }
    if (const std::error_code error = env.adoptAccess(file, from)) {
        (void)env.removeIf(folder, site.leaf, facts.identity);
        fail(path, "cannot give it the access of '" + model + "': ", error);
    }
    return facts.identity;
}

} // namespace

NewFile NewFile::create(const Site& site, const Site& like) {
    const std::string path = site.folder->pathOf(site.leaf);
    const std::string model = like.folder->pathOf(like.leaf);
    EnvHandle from;
    if (const std::error_code error = like.folder->env().open(like.folder->handle(), like.leaf, OpenOptions{}, from)) {
        fail(path, "cannot read the access of '" + model + "': ", error);
    }
    return NewFile(FileName(path), made(site, from, model), site.folder);
}

NewFile::NewFile(FileName name, FileIdentity identity, std::shared_ptr<const Folder> folder)
    : m_name(std::move(name)),
      m_identity(identity),
      m_folder(std::move(folder)),
      m_process(internal::currentProcess()) {}

NewFile::NewFile(NewFile&& other) noexcept
    : m_name(other.m_name),
      m_identity(other.m_identity),
      m_folder(other.m_folder),
      m_released(other.m_released),
      m_process(other.m_process) {
    other.m_released = true;
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        if (m_process == internal::currentProcess()) {
            discard();
        }
        m_name = other.m_name;
        m_identity = other.m_identity;
        m_folder = other.m_folder;
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
    const std::optional<FileFacts> now = m_folder->look(m_name.getLeafName());
    return now && sameFile(now->identity, m_identity);
}

void NewFile::discard() noexcept {
    if (m_released) {
        return;
    }
    try {
        (void)m_folder->env().removeIf(m_folder->handle(), m_name.getLeafName(), m_identity);
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
