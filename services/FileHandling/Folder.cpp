// Folder over the installed Env: the same on every system.

#include "FileHandling/Folder.h"

#include <utility>

#include "FileHandling/FileNameException.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

[[noreturn]] void fail(const std::string& path, const std::string& what, const std::error_code& error) {
    throw FileNameException("Cannot " + what + " '" + path + "': " + describe(error), path, error);
}

std::string folderPart(const std::string& path) {
    const std::string folder = FileName(path).getFolder();
    return folder.empty() ? "." : folder;
}

std::string leafPart(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

// `leaf` in `folder`, with the separator the folder's path uses.
std::string joined(const std::string& folder, const std::string& leaf) {
    const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
    const char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    return separated ? folder + leaf : folder + separator + leaf;
}

bool isAbsolute(const std::string& path) {
    return path.starts_with('/') || path.starts_with('\\') || (path.size() > 1 && path[1] == ':');
}

// The kernel's rule for links in a folder everybody may write to that has
// the sticky bit: followed only for the link's owner or the folder's.
constexpr std::uint32_t kSticky = 01000;
constexpr std::uint32_t kOthersWrite = 0002;

bool isProtected(const FileFacts& folder, const FileFacts& link, std::optional<std::uint32_t> follower) {
    return (folder.mode & kSticky) != 0 && (folder.mode & kOthersWrite) != 0 && link.owner && follower &&
           link.owner != follower && link.owner != folder.owner;
}

} // namespace

struct Folder::Impl {
    std::shared_ptr<Env> env;
    EnvHandle handle;
    std::string path;
};

std::error_code ResolvedName::error() const {
    switch (outcome) {
    case Outcome::Missing:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case Outcome::Loop:
        return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    case Outcome::Protected:
        return std::make_error_code(std::errc::permission_denied);
    case Outcome::TooLong:
    case Outcome::Resolved:
        break;
    }
    return {};
}

ResolvedName resolveName(const std::string& path) {
    const std::shared_ptr<Env> env = Env::current();
    ResolvedName result;
    std::string current = path;
    // The kernel gives up after 40 links; so does this.
    for (int hop = 0; hop <= 40; ++hop) {
        const std::string leaf = leafPart(current);
        EnvHandle folder;
        if (const std::error_code error = env->openFolder(folderPart(current), folder)) {
            // The folders of a name that leads nowhere: where it would be.
            result.outcome = means(error, std::errc::too_many_symbolic_link_levels) ? ResolvedName::Outcome::Loop
                             : hop > 0                                          ? ResolvedName::Outcome::Missing
                                                                                : ResolvedName::Outcome::Resolved;
            result.path = current;
            return result;
        }
        std::string folderPath;
        if (const std::error_code error = env->pathOf(folder, folderPath)) {
            result.outcome = means(error, std::errc::filename_too_long) ? ResolvedName::Outcome::TooLong
                                                                   : ResolvedName::Outcome::Resolved;
            result.path = current;
            return result;
        }
        FileFacts facts;
        const bool found = !env->look(folder, leaf, facts);
        if (!found || facts.kind != FileFacts::Kind::Link) {
            result.outcome = !found && hop > 0 ? ResolvedName::Outcome::Missing : ResolvedName::Outcome::Resolved;
            result.path = joined(folderPath, leaf);
            return result;
        }
        FileFacts folderFacts;
        if (!env->facts(folder, folderFacts) && isProtected(folderFacts, facts, currentUser())) {
            result.outcome = ResolvedName::Outcome::Protected;
            result.link = current;
            result.linkOwner = *facts.owner;
            return result;
        }
        std::string target;
        if (env->readLink(folder, leaf, target)) {
            break;
        }
        current = isAbsolute(target) ? target : joined(folderPath, target);
        result.links = hop + 1;
    }
    result.outcome = ResolvedName::Outcome::Loop;
    result.path = current;
    return result;
}

Folder Folder::open(const std::string& path) {
    auto impl = std::make_unique<Impl>();
    impl->env = Env::current();
    if (const std::error_code error = impl->env->openFolder(path, impl->handle)) {
        fail(path, "open the folder", error);
    }
    if (impl->env->pathOf(impl->handle, impl->path)) {
        impl->path = path;
    }
    return Folder(std::move(impl));
}

Folder Folder::holding(const FileName& file) { return open(folderPart(file.toNativeString())); }

Folder::Folder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

const std::string& Folder::path() const noexcept { return m_impl->path; }

std::string Folder::pathOf(const std::string& leaf) const { return joined(m_impl->path, leaf); }

std::optional<FileFacts> Folder::look(const std::string& leaf) const {
    FileFacts facts;
    return m_impl->env->look(m_impl->handle, leaf, facts) ? std::nullopt : std::optional<FileFacts>(facts);
}

std::string Folder::readStart(const std::string& leaf, std::size_t size) const {
    EnvHandle file;
    std::string bytes(size, '\0');
    std::size_t got = 0;
    if (m_impl->env->open(m_impl->handle, leaf, OpenOptions{}, file) ||
        m_impl->env->read(file, 0, std::span<char>(bytes.data(), bytes.size()), got)) {
        got = 0;
    }
    bytes.resize(got);
    return bytes;
}

bool Folder::isLockedByAnother(const std::string& leaf, std::int64_t offset) const {
    EnvHandle file;
    bool locked = false;
    return !m_impl->env->open(m_impl->handle, leaf, OpenOptions{}, file) &&
           !m_impl->env->isLocked(file, ByteRange{offset, 1}, locked) && locked;
}

Folder::Replaced Folder::replace(const std::string& from, const FileIdentity& file, const std::string& to,
                                 const std::optional<FileIdentity>& replaced, bool takeAccess) const {
    Env& env = *m_impl->env;
    const EnvHandle& folder = m_impl->handle;
    // Written to (Windows flushes only a file open for writing), never
    // created: the file must be the one given.
    EnvHandle in;
    FileFacts source;
    if (env.open(folder, from, OpenOptions{OpenOptions::Access::ReadWrite}, in) || env.facts(in, source) ||
        !sameFile(source.identity, file) || source.links != 1) {
        return Replaced::SourceChanged;
    }
    const auto holds = [&](const std::string& leaf, const FileIdentity& identity) {
        FileFacts there;
        return !env.look(folder, leaf, there) && sameFile(there.identity, identity);
    };
    if (replaced && !holds(to, *replaced)) {
        return Replaced::TargetChanged;
    }
    EnvHandle like;
    if (takeAccess && !env.open(folder, to, OpenOptions{}, like)) {
        if (const std::error_code error = env.adoptAccess(in, like)) {
            fail(pathOf(to), "give the new file the access of", error);
        }
    }
    if (const std::error_code error = env.sync(in)) {
        fail(pathOf(from), "flush", error);
    }
    // Closed before the rename: Windows renames no file this process holds.
    in = EnvHandle();
    like = EnvHandle();
    // Whoever may write the folder could have put another file under either
    // name since; the rename follows no link, and the folder is this one.
    if (!holds(from, file)) {
        return Replaced::SourceChanged;
    }
    if (replaced && !holds(to, *replaced)) {
        return Replaced::TargetChanged;
    }
    if (const std::error_code error = env.rename(folder, from, to)) {
        fail(pathOf(to), "rename '" + pathOf(from) + "' over", error);
    }
    sync();
    return Replaced::Done;
}

bool Folder::remove(const std::string& leaf) const {
    if (const std::error_code error = m_impl->env->remove(m_impl->handle, leaf)) {
        if (means(error, std::errc::no_such_file_or_directory)) {
            return false;
        }
        fail(pathOf(leaf), "remove", error);
    }
    sync();
    return true;
}

void Folder::sync() const {
    // Some file systems cannot flush a folder (EINVAL); what was renamed or
    // removed is done by then, so this is logged and not a failure.
    if (const std::error_code error = m_impl->env->sync(m_impl->handle)) {
        logger().logERROR("Cannot sync folder '" + m_impl->path + "': " + describe(error), __FILE__,
                          ZV_FUNCTION_SIGNATURE, __LINE__);
    }
}

bool Folder::isWritable() const { return !m_impl->env->mayWrite(m_impl->handle, ""); }

} // namespace Zorvan
