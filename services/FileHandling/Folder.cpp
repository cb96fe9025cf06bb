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

// The errors of opening a name that holds something other than a regular
// file: a link, a folder, a FIFO or a device.
bool isNoRegularFile(const std::error_code& error) {
    return means(error, std::errc::too_many_symbolic_link_levels) || means(error, std::errc::is_a_directory) ||
           means(error, std::errc::operation_not_supported);
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

// Whether the link `link` at `name`, in the folder `folder` (`folderPath`),
// may be followed; when not, `result` names it and its owner.
bool followable(Env& env, const EnvHandle& folder, const std::string& folderPath, const std::string& name,
                const FileFacts& link, ResolvedName& result) {
    FileFacts folderFacts;
    if (const std::error_code error = env.facts(folder, folderFacts)) {
        fail(folderPath, "look at", error);
    }
    if (isProtected(folderFacts, link, currentUser())) {
        result.link = name;
        result.linkOwner = *link.owner;
        return false;
    }
    return true;
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
    ResolvedSite unused;
    return resolveName(path, unused);
}

// Makes a Folder of a handle resolveName() opened.
struct FolderAccess {
    static std::shared_ptr<const Folder> adopt(std::shared_ptr<Env> env, EnvHandle handle, const std::string& path) {
        return std::make_shared<const Folder>(
            Folder(std::make_unique<Folder::Impl>(Folder::Impl{std::move(env), std::move(handle), path})));
    }
};

namespace {

// Opens the folder of `current` and the path it is known by; the outcome
// when the name ends there (a folder that leads nowhere, a path too long).
std::optional<ResolvedName::Outcome> openFolderOf(Env& env, const std::string& current, int hop, EnvHandle& folder,
                                                  std::string& folderPath) {
    if (const std::error_code error = env.openFolder(folderOf(current), folder)) {
        // The folders of a name that leads nowhere: where it would be.
        if (means(error, std::errc::too_many_symbolic_link_levels)) {
            return ResolvedName::Outcome::Loop;
        }
        if (!isAbsent(error)) {
            fail(folderOf(current), "open the folder", error);
        }
        return hop > 0 ? ResolvedName::Outcome::Missing : ResolvedName::Outcome::Resolved;
    }
    if (const std::error_code error = env.pathOf(folder, folderPath)) {
        if (means(error, std::errc::filename_too_long)) {
            return ResolvedName::Outcome::TooLong;
        }
        // The path the folder was opened by leads to it as well.
        folderPath = folderOf(current);
    }
    return std::nullopt;
}

} // namespace

ResolvedName resolveName(const std::string& path, ResolvedSite& where) {
    const std::shared_ptr<Env> env = Env::current();
    ResolvedName result;
    std::string current = path;
    const auto end = [&](ResolvedName::Outcome outcome, const std::string& at) {
        result.outcome = outcome;
        result.path = at;
        return result;
    };
    // The folder a name that is no link ends in, kept for the caller.
    const auto hold = [&](EnvHandle& folder, const std::string& folderPath, std::optional<FileFacts> facts) {
        where.folder = FolderAccess::adopt(env, std::move(folder), folderPath);
        where.facts = std::move(facts);
    };
    // The kernel gives up after 40 links; so does this.
    for (int hop = 0; hop <= 40; ++hop) {
        const std::string leaf = leafPart(current);
        EnvHandle folder;
        std::string folderPath;
        if (const std::optional<ResolvedName::Outcome> ended = openFolderOf(*env, current, hop, folder, folderPath)) {
            return end(*ended, current);
        }
        FileFacts facts;
        if (const std::error_code error = env->look(folder, leaf, facts)) {
            if (!isAbsent(error)) {
                fail(joined(folderPath, leaf), "look at", error);
            }
            if (hop == 0) {
                hold(folder, folderPath, std::nullopt);
            }
            return end(hop > 0 ? ResolvedName::Outcome::Missing : ResolvedName::Outcome::Resolved,
                       joined(folderPath, leaf));
        }
        if (facts.kind != FileFacts::Kind::Link) {
            hold(folder, folderPath, facts);
            return end(ResolvedName::Outcome::Resolved, joined(folderPath, leaf));
        }
        if (!followable(*env, folder, folderPath, current, facts, result)) {
            return end(ResolvedName::Outcome::Protected, "");
        }
        std::string target;
        if (const std::error_code error = env->readLink(folder, leaf, target)) {
            fail(joined(folderPath, leaf), "read the link", error);
        }
        current = isAbsolute(target) ? target : joined(folderPath, target);
        result.links = hop + 1;
    }
    return end(ResolvedName::Outcome::Loop, current);
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

Folder Folder::holding(const FileName& file) { return open(folderOf(file)); }

Site siteAt(const FileName& file) {
    return {std::make_shared<const Folder>(Folder::holding(file)), file.getLeafName()};
}

Site siteOf(const std::string& path, const ResolvedName& resolved) {
    const bool followed = resolved.outcome != ResolvedName::Outcome::Loop && !resolved.path.empty();
    return siteAt(FileName(followed ? resolved.path : path));
}

Site siteOf(const std::string& path) { return siteOf(path, resolveName(path)); }

Folder::Folder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

const std::string& Folder::path() const noexcept { return m_impl->path; }

std::string Folder::pathOf(const std::string& leaf) const { return joined(m_impl->path, leaf); }

Env& Folder::env() const noexcept { return *m_impl->env; }

const EnvHandle& Folder::handle() const noexcept { return m_impl->handle; }

std::optional<FileFacts> Folder::look(const std::string& leaf) const {
    FileFacts facts;
    if (const std::error_code error = m_impl->env->look(m_impl->handle, leaf, facts)) {
        if (isAbsent(error)) {
            return std::nullopt;
        }
        fail(pathOf(leaf), "look at", error);
    }
    return facts;
}

std::optional<EnvHandle> Folder::openRegular(const std::string& leaf, OpenOptions::Access access) const {
    EnvHandle file;
    if (const std::error_code error = m_impl->env->open(m_impl->handle, leaf, OpenOptions{access}, file)) {
        if (isAbsent(error) || isNoRegularFile(error)) {
            return std::nullopt;
        }
        fail(pathOf(leaf), "open", error);
    }
    return file;
}

std::string Folder::readStart(const std::string& leaf, std::size_t size) const {
    const std::optional<EnvHandle> file = openRegular(leaf, OpenOptions::Access::Read);
    std::string bytes(file ? size : 0, '\0');
    std::size_t got = 0;
    if (file) {
        if (const std::error_code error =
                m_impl->env->read(*file, 0, std::span<char>(bytes.data(), bytes.size()), got)) {
            fail(pathOf(leaf), "read", error);
        }
    }
    bytes.resize(got);
    return bytes;
}

bool Folder::isLockedByAnother(const std::string& leaf, std::int64_t offset) const {
    const std::optional<EnvHandle> file = openRegular(leaf, OpenOptions::Access::Read);
    bool locked = false;
    if (file) {
        if (const std::error_code error = m_impl->env->isLocked(*file, ByteRange{offset, 1}, locked)) {
            fail(pathOf(leaf), "test the locks of", error);
        }
    }
    return locked;
}

Folder::Replaced Folder::replace(const std::string& from, const FileIdentity& file, const std::string& to,
                                 const std::optional<FileIdentity>& replaced, bool takeAccess) const {
    Env& env = *m_impl->env;
    // Written to (Windows flushes only a file open for writing), never
    // created: the file must be the one given.
    std::optional<EnvHandle> in = openRegular(from, OpenOptions::Access::ReadWrite);
    if (!in) {
        return Replaced::SourceChanged;
    }
    FileFacts source;
    if (const std::error_code error = env.facts(*in, source)) {
        fail(pathOf(from), "look at", error);
    }
    if (!sameFile(source.identity, file) || source.links != 1) {
        return Replaced::SourceChanged;
    }
    const auto holds = [&](const std::string& leaf, const FileIdentity& identity) {
        const std::optional<FileFacts> there = look(leaf);
        return there && sameFile(there->identity, identity);
    };
    if (replaced && !holds(to, *replaced)) {
        return Replaced::TargetChanged;
    }
    std::optional<EnvHandle> like;
    if (takeAccess && (like = openRegular(to, OpenOptions::Access::Read))) {
        if (const std::error_code error = env.adoptAccess(*in, *like)) {
            fail(pathOf(to), "give the new file the access of", error);
        }
    }
    if (const std::error_code error = env.sync(*in)) {
        fail(pathOf(from), "flush", error);
    }
    // Closed before the rename: Windows renames no file this process holds.
    in.reset();
    like.reset();
    // Whoever may write the folder could have put another file under either
    // name since; the rename follows no link, and the folder is this one.
    if (!holds(from, file)) {
        return Replaced::SourceChanged;
    }
    if (replaced && !holds(to, *replaced)) {
        return Replaced::TargetChanged;
    }
    // A name found free must still be free: what another program puts
    // there up to the rename itself is never replaced.
    const bool wasFree = !replaced && !look(to);
    if (const std::error_code error =
            env.rename(m_impl->handle, from, to, wasFree ? Env::WhenTaken::Refuse : Env::WhenTaken::Replace)) {
        if (wasFree && look(to)) {
            return Replaced::TargetChanged;
        }
        fail(pathOf(to), "rename '" + pathOf(from) + "' over", error);
    }
    sync();
    return Replaced::Done;
}

bool Folder::remove(const std::string& leaf) const {
    if (const std::error_code error = m_impl->env->remove(m_impl->handle, leaf)) {
        if (isAbsent(error)) {
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

bool Folder::isWritable() const {
    const std::error_code error = m_impl->env->mayWrite(m_impl->handle, "");
    if (error && !isDenied(error)) {
        fail(m_impl->path, "tell whether this user may write in", error);
    }
    return !error;
}

} // namespace Zorvan
