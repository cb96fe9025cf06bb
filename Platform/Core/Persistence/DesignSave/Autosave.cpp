// The autosave copy of a design: written with the host's current objects
// (or copied from the design as it is on disk), found and opened at
// start-up for recovery, and removed once the design is saved.

#include "FileHandling/FileUtilities.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/DesignSave/Road.h"
#include "Translation/Substitute.h"

namespace Zorvan {

using namespace road;

namespace {

// A copy is made by whoever may save the design.
void requireMayCopy(const std::string& file, const std::string& target) {
    if (FileUtilities::isReadOnly(target)) {
        refuse(kCannotCopy, file,
               translate("DesignSave", "this user may read it but not write it, and only one who may save a design "
                                       "writes its autosave copy."),
               DesignRefusal::ReadOnly, std::make_error_code(std::errc::permission_denied));
    }
}

// Refuses a link at the copy's name: the copy is never written through one.
void requireNoLinkAt(const Folder& folder, const std::string& file, const FileName& copy) {
    const std::optional<FileFacts> previous =
        guarded(kCannotCopy, file, [&] { return folder.look(copy.getLeafName()); });
    if (previous && previous->kind == FileFacts::Kind::Link) {
        refuse(kCannotCopy, file,
               substitute(translate("DesignSave", "%1 is a symbolic link."), {quoted(copy.toNativeString())}),
               DesignRefusal::Interfered);
    }
}

// What `name` holds, no link followed; nullopt for nothing, also when its
// folder is none.
std::optional<FileFacts> lookAt(const FileName& name) {
    try {
        return Folder::holding(name).look(name.getLeafName());
    } catch (const FileNameException& e) {
        if (isAbsent(e.code())) {
            return std::nullopt;
        }
        throw;
    }
}

} // namespace

DesignSave DesignSave::beginAutosave(const std::string& file, const DesignSaveOptions& options) {
    const SaveTarget resolved = saveTarget(file, kCannotCopy);
    const std::string& target = resolved.path;
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    const FileName temporary = ZvFileIO::temporaryName(copy);
    FileIdentity there;
    if (guarded(kCannotCopy, file, [&] { return designAt(resolved.site, there); })) {
        requireMayCopy(file, target);
        requireNotUnderWayHere(kCannotCopy, file, there);
    }
    std::shared_ptr<const Folder> folder = holdFolder(kCannotCopy, file, copy);
    const Site design = designSite(kCannotCopy, file, resolved);
    // A design never saved is locked by the name it will have, as a first
    // save locks it, with an empty file that goes with the lock.
    auto state =
        std::make_unique<State>(file, target, options, std::move(folder),
                                lockDesign(kCannotCopy, file, design, /*create=*/true, options), SessionKind::Autosave);
    step(options, "locked");
    state->autosave = true;
    state->cannot = kCannotCopy;
    state->copyLeaf = copy.getLeafName();
    state->copyName = copy.toNativeString();
    requireNoLinkAt(*state->folder, file, copy);
    guarded(kCannotCopy, file, [&] {
        // No save of the design can come between this and the copy's
        // commit: one of another program waits for the lock, one of this
        // process makes the autosave give way.
        state->origin = originOf(state->lock.identity(), design);
        // Left by an autosave that did not finish; a link there is removed,
        // never followed.
        (void)state->folder->remove(temporary.getLeafName());
        state->written = FileName(state->folder->pathOf(temporary.getLeafName()));
        // The copy has the design's access from its first byte.
        state->temporary.emplace(NewFile::create(Site{state->folder, temporary.getLeafName()}, design));
        step(options, "prepared");
        state->store = SqliteDesignStore::openForReplacement(Site{state->folder, temporary.getLeafName()});
    });
    state->session = std::make_shared<DesignPart::Session>(
        DesignPart::Session{file, kCannotCopy, ZvFileWriteMode::Overwrite, state->store, state->entry.giveWay()});
    return DesignSave(std::move(state));
}

FileName writeAutosaveCopy(const std::string& file, const DesignSaveOptions& options) {
    const SaveTarget resolved = saveTarget(file, kCannotCopy);
    const std::string& target = resolved.path;
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    const FileName temporary = ZvFileIO::temporaryName(copy);
    FileIdentity there;
    if (!guarded(kCannotCopy, file, [&] { return designAt(resolved.site, there); })) {
        refuse(kCannotCopy, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing,
               std::make_error_code(std::errc::no_such_file_or_directory));
    }
    requireMayCopy(file, target);
    const std::shared_ptr<const Folder> folder = holdFolder(kCannotCopy, file, copy);
    const Site design = designSite(kCannotCopy, file, resolved);
    const FileLock lock = lockDesign(kCannotCopy, file, design, /*create=*/false, options);
    step(options, "locked");
    const OpenedDesign opened = *open(kCannotCopy, file, target, /*emptyIsNew=*/false, /*full=*/false, &design);
    opened.requireReadable();
    requireNoLinkAt(*folder, file, copy);
    guarded(kCannotCopy, file, [&] {
        // Left by an autosave that did not finish; a link there is removed,
        // never followed.
        (void)folder->remove(temporary.getLeafName());
        NewFile made = NewFile::create(Site{folder, temporary.getLeafName()}, design);
        opened.store->copyTo(Site{folder, temporary.getLeafName()});
        step(options, "copied");
        // The copy keeps the design's access, given as it was made; what was
        // at the copy's name (an older copy, or a link planted meanwhile)
        // is replaced, not followed.
        if (folder->replace(temporary.getLeafName(), made.identity(), copy.getLeafName(), std::nullopt,
                           /*takeAccess=*/false) != Folder::Replaced::Done) {
            throw DesignRefusedException(
                substitute(translate("DesignSave", "cannot put the autosave copy of %1 in place; the previous copy "
                                                   "is kept."),
                           {quoted(file)}),
                DesignRefusal::Interfered);
        }
        made.release();
    });
    return copy;
}

std::optional<FileName> newerAutosaveCopy(const std::string& file) {
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    return guarded(kCannotLookForCopy, file, [&]() -> std::optional<FileName> {
        const std::optional<FileFacts> copied = lookAt(copy);
        if (!copied || copied->kind != FileFacts::Kind::Regular || copied->size == 0) {
            return std::nullopt;
        }
        const ResolvedName resolved = resolveName(file);
        const std::optional<FileFacts> design =
            resolved.outcome == ResolvedName::Outcome::Resolved ? lookAt(FileName(resolved.path)) : std::nullopt;
        if (!design || design->size == 0) {
            return copy; // a design never saved, or whose first save was cut short
        }
        // The copy holds more than the design while no save came after it:
        // the design is still the file it was then, with the same changes.
        AutosaveOrigin origin;
        try {
            if (!SqliteDesignStore::openForReading(copy.toNativeString())->readAutosaveOrigin(origin)) {
                return std::nullopt;
            }
        } catch (const FileError& e) {
            if (bySystem(e.code()) || means(e.code(), std::errc::device_or_resource_busy)) {
                throw;
            }
            return std::nullopt; // no copy this software wrote
        }
        const AutosaveOrigin now = originOf(design->identity, siteOf(resolved.path));
        const bool unchanged = sameFile(FileIdentity{origin.device, origin.inode, origin.birth}, design->identity) &&
                               origin.changes == now.changes;
        return unchanged ? std::optional<FileName>(copy) : std::nullopt;
    });
}

OpenedDesign openAutosaveCopy(const std::string& file, const DesignOpenOptions& options) {
    return openForHost(kCannotOpenCopy, file, ZvFileIO().constructAutosaveFileName(file).toNativeString(), options);
}

bool removeAutosaveCopy(const std::string& file, const DesignSaveOptions& options) {
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    FileIdentity there;
    if (guarded(kCannotDeleteCopy, file, [&] { return identityOf(FileName(file), there); })) {
        makeWay(kCannotDeleteCopy, file, there, options);
    }
    // A design that is gone has no lock to take, and no autosave to keep out.
    std::optional<FileLock> lock;
    try {
        lock.emplace(lockDesign(kCannotDeleteCopy, file, guarded(kCannotDeleteCopy, file, [&] { return siteOf(file); }),
                                /*create=*/false, options));
        step(options, "locked");
    } catch (const DesignRefusedException& e) {
        const bool gone = e.reason() == DesignRefusal::Missing || e.reason() == DesignRefusal::Failed;
        if (!gone || FileUtilities::exists(file, true)) {
            throw;
        }
    }
    try {
        // This process's handles of the copy (a recovery) would keep it from
        // being removed on Windows.
        FileIdentity copied;
        if (identityOf(copy, copied)) {
            for (const std::shared_ptr<SqliteDesignStore>& reader : Sessions::instance().readers(copied)) {
                reader->close();
            }
        }
        const Folder folder = Folder::holding(copy);
        const std::optional<FileFacts> atCopy = folder.look(copy.getLeafName());
        if (atCopy && (atCopy->kind == FileFacts::Kind::Folder || atCopy->kind == FileFacts::Kind::Other)) {
            refuse(kCannotDeleteCopy, file, translate("DesignSave", "it is not a regular file."),
                   DesignRefusal::NotRegularFile, std::make_error_code(std::errc::invalid_argument));
        }
        return atCopy && folder.remove(copy.getLeafName());
    } catch (const FileNameException& e) {
        if (isAbsent(e.code())) {
            return false; // no folder, no copy
        }
        refuseFailure(kCannotDeleteCopy, file, e);
    }
}

} // namespace Zorvan
