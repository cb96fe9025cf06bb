// The native file system over the installed Env, the same on every system.
//
// FileUtilities::replace, behind replaceFile, is the durable half of a save
// through a temporary file:
//   1. links at the destination are followed as the kernel follows them
//      (resolveName): the file they end in is replaced, the links stay;
//   2. the source is looked at without following a link: a link planted at
//      its name, anything but a regular file, or a file with another name
//      too is refused before anything changes;
//   3. when both lie in one folder, Folder::replace gives the source the
//      destination's access, flushes it, renames it over the destination
//      once its name still holds the file flushed, and flushes the folder;
//   4. otherwise (another device, or links lead to another folder) the
//      source takes the destination's access and is copied into a new file
//      beside the destination, which takes the source's access and is
//      flushed before it is renamed into place; then the source goes.
// Every step is an Env call, so a test replaces the Env to fail any of them.

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "FileHandling/Env.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/Folder.h"
#include "Logging/Logging.h"

namespace Zorvan {
namespace {

const Logging& logger() {
    static const Logging instance(__FILE__);
    return instance;
}

std::string folderOf(const FileName& name) {
    const std::string folder = name.getFolder();
    return folder.empty() ? "." : folder;
}

// A leaf in its folder, held open.
struct Place {
    EnvHandle folder;
    std::string leaf;
};

std::error_code placeOf(Env& env, const std::string& path, Place& place) {
    const FileName name(path);
    place.leaf = name.getLeafName();
    return env.openFolder(folderOf(name), place.folder);
}

// The place of the file `path` finally names, links followed.
std::error_code followed(Env& env, const std::string& path, Place& place) {
    ResolvedName resolved;
    try {
        resolved = resolveName(path);
    } catch (const FileNameException& e) {
        return e.code();
    }
    if (const std::error_code error = resolved.error()) {
        return error;
    }
    return placeOf(env, resolved.outcome == ResolvedName::Outcome::TooLong ? path : resolved.path, place);
}

// Why a replace stopped: what it could not do, and the error.
struct Failure {
    std::string what;
    std::error_code error;
};

Failure systemFailure(const std::string& step, const std::error_code& error) {
    return {"cannot " + step + ": " + describe(error), error};
}

Failure refusal(const std::string& why, std::errc condition) {
    return {"cannot " + why, std::make_error_code(condition)};
}

// Copies the file open as `in` into a new file in `folder`, with the
// access `in` has, and renames the copy over `to` there.
std::optional<Failure> copyOver(Env& env, const EnvHandle& in, const EnvHandle& folder, const std::string& to) {
    std::string copy;
    EnvHandle out;
    std::error_code error;
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        copy = ".zvreplace-" + std::to_string(random());
        error = env.open(folder, copy, {OpenOptions::Access::ReadWrite, OpenOptions::Creation::New, 0600}, out);
        if (!means(error, std::errc::file_exists)) {
            break;
        }
    }
    if (error) {
        return systemFailure("create a copy beside the destination", error);
    }
    FileFacts made;
    if ((error = env.facts(out, made))) {
        out = EnvHandle();
        (void)env.remove(folder, copy); // made a moment ago, empty and private
        return systemFailure("create a copy beside the destination", error);
    }
    std::optional<Failure> failure;
    std::string buffer(1 << 16, '\0');
    for (std::uint64_t offset = 0; !failure;) {
        std::size_t got = 0;
        if ((error = env.read(in, offset, buffer, got))) {
            failure = systemFailure("read the source", error);
        } else if (got == 0) {
            break;
        } else if ((error = env.write(out, offset, std::span<const char>(buffer.data(), got)))) {
            failure = systemFailure("write the copy", error);
        }
        offset += got;
    }
    if (!failure && (error = env.adoptAccess(out, in))) {
        failure = systemFailure("give the copy the source's access", error);
    }
    if (!failure && (error = env.sync(out))) {
        failure = systemFailure("flush the copy", error);
    }
    out = EnvHandle(); // Windows renames no file this process holds
    if (!failure && (error = env.rename(folder, copy, to))) {
        failure = systemFailure("rename the copy over the destination", error);
    }
    if (failure) {
        (void)env.removeIf(folder, copy, made.identity);
    }
    return failure;
}

std::optional<Failure> replaceWith(Env& env, const std::string& source, const std::string& destination) {
    ResolvedName resolved;
    try {
        resolved = resolveName(destination);
    } catch (const FileNameException& e) {
        return systemFailure("follow the destination's links", e.code());
    }
    switch (resolved.outcome) {
    case ResolvedName::Outcome::Missing:
        return refusal("follow the destination's link: it leads to no file", std::errc::no_such_file_or_directory);
    case ResolvedName::Outcome::Loop:
        return refusal("follow the destination's links: they lead round in a circle",
                       std::errc::too_many_symbolic_link_levels);
    case ResolvedName::Outcome::Protected:
        return refusal("follow the destination's link: the system does not follow it for this user",
                       std::errc::permission_denied);
    case ResolvedName::Outcome::TooLong:
    case ResolvedName::Outcome::Resolved:
        break;
    }
    const FileName from(source);
    const FileName to(resolved.outcome == ResolvedName::Outcome::Resolved ? resolved.path : destination);
    const Folder sourceFolder = Folder::holding(from);
    const Folder folder = Folder::holding(to);
    const std::optional<FileFacts> facts = sourceFolder.look(from.getLeafName());
    if (!facts) {
        return systemFailure("open the source", std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (facts->kind == FileFacts::Kind::Link) {
        return refusal("open the source: it is a symbolic link", std::errc::too_many_symbolic_link_levels);
    }
    if (facts->kind != FileFacts::Kind::Regular) {
        return refusal("use the source: it is not a regular file", std::errc::operation_not_supported);
    }
    if (facts->links != 1) {
        return refusal("use the source: it has " + std::to_string(facts->links) + " names", std::errc::too_many_links);
    }
    const auto changed = [] {
        return refusal("use the source: its name no longer holds the file that was looked at",
                       std::errc::no_such_file_or_directory);
    };
    if (sourceFolder.path() == folder.path()) {
        return folder.replace(from.getLeafName(), facts->identity, to.getLeafName(), std::nullopt, true) ==
                       Folder::Replaced::Done
                   ? std::nullopt
                   : std::optional<Failure>(changed());
    }
    Place in;
    Place out;
    EnvHandle file;
    EnvHandle like;
    FileFacts opened;
    std::error_code error;
    if ((error = placeOf(env, sourceFolder.pathOf(from.getLeafName()), in)) ||
        (error = placeOf(env, folder.pathOf(to.getLeafName()), out)) ||
        (error = env.open(in.folder, in.leaf, {OpenOptions::Access::ReadWrite}, file)) ||
        (error = env.facts(file, opened))) {
        return systemFailure("open the source", error);
    }
    if (!sameFile(opened.identity, facts->identity)) {
        return changed();
    }
    // A destination that is not there yet has no access to give.
    if ((error = env.open(out.folder, out.leaf, OpenOptions{}, like)) && !isAbsent(error)) {
        return systemFailure("open the destination", error);
    }
    if (!error && (error = env.adoptAccess(file, like))) {
        return systemFailure("give the source the destination's access", error);
    }
    like = EnvHandle();
    if (std::optional<Failure> failure = copyOver(env, file, out.folder, out.leaf)) {
        return failure;
    }
    file = EnvHandle();
    // The destination is the new file now: a source that stays is told, not
    // a failure.
    if ((error = env.removeIf(in.folder, in.leaf, opened.identity)) && !isAbsent(error)) {
        logger().logERROR("Cannot remove '" + source + "' once it was copied over '" + destination +
                              "': " + describe(error),
                          __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    }
    folder.sync();
    return std::nullopt;
}

class NativeFileSystem final : public FileSystem {
public:
    bool exists(const FileName& name, bool followSymlinks) override {
        const std::shared_ptr<Env> env = Env::current();
        const std::string path = name.toNativeString();
        Place place;
        FileFacts facts;
        const std::error_code error = followSymlinks ? followed(*env, path, place) : placeOf(*env, path, place);
        return !error && !env->look(place.folder, place.leaf, facts);
    }

    bool isReadOnly(const FileName& name) override {
        const std::shared_ptr<Env> env = Env::current();
        Place place;
        FileFacts facts;
        if (followed(*env, name.toNativeString(), place) || env->look(place.folder, place.leaf, facts)) {
            return false;
        }
        const std::error_code refused = env->mayWrite(place.folder, place.leaf);
        return isDenied(refused);
    }

    void remove(const FileName& name) override {
        const std::shared_ptr<Env> env = Env::current();
        const std::string path = name.toNativeString();
        Place place;
        std::error_code error = placeOf(*env, path, place);
        if (error || (error = env->remove(place.folder, place.leaf))) {
            const std::string message = "Cannot remove '" + path + "': " + describe(error);
            logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
            throw FileNameException(message, path, error);
        }
        // The name is gone once its folder reaches the disk: a removal that
        // returned must not come back after a power cut. Some file systems
        // cannot flush a folder; the removal stands, and that is logged.
        if ((error = env->sync(place.folder))) {
            logger().logERROR("Cannot sync folder '" + folderOf(name) + "': " + describe(error), __FILE__,
                              ZV_FUNCTION_SIGNATURE, __LINE__);
        }
    }

    bool replaceFile(const FileName& source, const FileName& destination) override {
        return !FileUtilities::replace(source, destination);
    }
};

} // namespace

std::error_code FileUtilities::replace(const FileName& source, const FileName& destination) {
    const std::string from = source.toNativeString();
    const std::string to = destination.toNativeString();
    std::optional<Failure> failure;
    try {
        failure = replaceWith(*Env::current(), from, to);
    } catch (const FileNameException& e) {
        failure = Failure{e.what(), e.code()};
    }
    if (!failure) {
        return {};
    }
    logger().logERROR("Cannot replace '" + to + "' with '" + from + "': " + failure->what, __FILE__,
                      ZV_FUNCTION_SIGNATURE, __LINE__);
    return failure->error;
}

std::shared_ptr<FileSystem> nativeFileSystem() {
    static const std::shared_ptr<FileSystem> instance = std::make_shared<NativeFileSystem>();
    return instance;
}

} // namespace Zorvan
