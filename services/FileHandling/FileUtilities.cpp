// FileUtilities over the installed Env, the same on every system: each call
// opens the folder of its name and acts there (Folder), and a replace is the
// save road's replace within one folder (Folder::replace).

#include "FileHandling/FileUtilities.h"

#include <optional>
#include <string>

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

// Where `name` is; with `follow`, where the links at it lead. Nullopt when
// they lead to no file or the folder cannot be opened.
std::optional<Site> placeOf(const FileName& name, bool follow) {
    try {
        if (!follow) {
            return siteAt(name);
        }
        const std::string path = name.toNativeString();
        const ResolvedName resolved = resolveName(path);
        return resolved.error() ? std::nullopt : std::optional<Site>(siteOf(path, resolved));
    } catch (const FileNameException&) {
        return std::nullopt;
    }
}

// What the site holds; nullopt when nothing, or when the system cannot tell.
std::optional<FileFacts> factsAt(const Site& site) {
    FileFacts facts;
    return site.folder->env().look(site.folder->handle(), site.leaf, facts) ? std::nullopt
                                                                            : std::optional<FileFacts>(facts);
}

// Why a replace stopped: what it could not do, and the error.
struct Failure {
    std::string what;
    std::error_code error;
};

Failure refusal(const std::string& why, std::errc condition) {
    return {"cannot " + why, std::make_error_code(condition)};
}

// Which folder `folder` is, whatever path it was opened by.
FileIdentity folderIdentity(const Folder& folder) {
    FileFacts facts;
    if (const std::error_code error = folder.env().facts(folder.handle(), facts)) {
        throw FileNameException("Cannot look at '" + folder.path() + "': " + describe(error), folder.path(), error);
    }
    return facts.identity;
}

// Why the source may not be put in place, judged on what its name holds.
std::optional<Failure> refusedSource(const std::optional<FileFacts>& facts) {
    if (!facts) {
        return refusal("open the source: " + describe(std::make_error_code(std::errc::no_such_file_or_directory)),
                       std::errc::no_such_file_or_directory);
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
    return std::nullopt;
}

std::optional<Failure> replaceWithin(const FileName& source, const std::string& destination) {
    const ResolvedName resolved = resolveName(destination);
    if (const std::error_code error = resolved.error()) {
        return Failure{"cannot follow the destination's links: " + describe(error), error};
    }
    const Site to = siteOf(destination, resolved);
    // Both named in one folder, as a temporary file beside its design is:
    // that folder, opened once.
    const bool beside = resolved.links == 0 && folderOf(source) == folderOf(FileName(destination));
    const Site from = beside ? Site{to.folder, source.getLeafName()} : siteAt(source);
    if (!beside && !sameFile(folderIdentity(*from.folder), folderIdentity(*to.folder))) {
        return refusal("put the source in place: it is not in the destination's folder '" + to.folder->path() + "'",
                       std::errc::cross_device_link);
    }
    const std::optional<FileFacts> facts = from.folder->look(from.leaf);
    if (std::optional<Failure> refused = refusedSource(facts)) {
        return refused;
    }
    if (to.folder->replace(from.leaf, facts->identity, to.leaf, std::nullopt, true) != Folder::Replaced::Done) {
        return refusal("use the source: its name no longer holds the file that was looked at",
                       std::errc::no_such_file_or_directory);
    }
    return std::nullopt;
}

} // namespace

bool FileUtilities::exists(const FileName& name, bool followSymlinks) {
    const std::optional<Site> site = placeOf(name, followSymlinks);
    return site && factsAt(*site);
}

bool FileUtilities::isReadOnly(const FileName& name) {
    const std::optional<Site> site = placeOf(name, true);
    return site && factsAt(*site) && isDenied(site->folder->env().mayWrite(site->folder->handle(), site->leaf));
}

void FileUtilities::remove(const FileName& name) {
    const std::string path = name.toNativeString();
    std::error_code error;
    try {
        const Site site = siteAt(name);
        if (!(error = site.folder->env().remove(site.folder->handle(), site.leaf))) {
            site.folder->sync(); // a removal that returned must not come back after a power cut
            return;
        }
    } catch (const FileNameException& e) {
        error = e.code();
    }
    const std::string message = "Cannot remove '" + path + "': " + describe(error);
    logger().logERROR(message, __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    throw FileNameException(message, path, error);
}

bool FileUtilities::replaceFile(const FileName& source, const FileName& destination) {
    return !replace(source, destination);
}

std::error_code FileUtilities::replace(const FileName& source, const FileName& destination) {
    const std::string to = destination.toNativeString();
    std::optional<Failure> failure;
    try {
        failure = replaceWithin(source, to);
    } catch (const FileNameException& e) {
        failure = Failure{e.what(), e.code()};
    }
    if (!failure) {
        return {};
    }
    logger().logERROR("Cannot replace '" + to + "' with '" + source.toNativeString() + "': " + failure->what,
                      __FILE__, ZV_FUNCTION_SIGNATURE, __LINE__);
    return failure->error;
}

} // namespace Zorvan
