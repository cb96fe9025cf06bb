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

// A copy is recovered only when this user, or the design's owner, wrote it:
// one of another user (planted beside a design in a shared folder) would
// put that user's content in the design.
void requireCopyOfOwner(const std::string& file, const std::string& copy, const FileFacts& copied,
                        const std::optional<FileFacts>& design) {
    const std::optional<std::uint32_t> me = currentUser();
    if (!copied.owner || !me || *copied.owner == *me || (design && design->owner == copied.owner)) {
        return; // Windows keeps no owners to compare
    }
    refuse(kCannotRecover, file,
           substitute(translate("DesignSave",
                                "its autosave copy %1 belongs to %2, who is neither this user nor the design's owner; "
                                "it is left as it is."),
                      {quoted(copy), userName(*copied.owner)}),
           DesignRefusal::ForeignFile);
}

// The copy at `copy`, opened for recovery: the file looked at, and one an
// autosave of this software wrote.
OpenedDesign openCopy(const std::string& file, const Site& copy, const FileFacts& copied, AutosaveOrigin& origin) {
    const std::string name = copy.folder->pathOf(copy.leaf);
    OpenedDesign opened = *open(kCannotOpenCopy, file, name, /*emptyIsNew=*/false, /*full=*/true, &copy);
    opened.requireReadable();
    if (!sameFile(opened.store->identity(), copied.identity)) {
        refuse(kCannotRecover, file, translate("DesignSave", "its autosave copy was replaced while it was read."),
               DesignRefusal::Interfered);
    }
    if (!guarded(kCannotOpenCopy, file, [&] { return opened.store->readAutosaveOrigin(origin); })) {
        requireReplaceable(kCannotRecover, file, name, AtCopyName{copied, /*foreign=*/true});
    }
    return opened;
}

} // namespace

std::optional<RecoveredCopy> DesignSave::recoverAutosave(const std::string& file, const DesignSaveOptions& options) {
    return recoverAutosave(usableName(kCannotRecover, file), options, nullptr);
}

// The recovery is a rewrite of the design that decides, once it holds the
// design's lock, whether the copy holds what the design does not.
std::optional<RecoveredCopy> DesignSave::recoverAutosave(const std::string& file, const DesignSaveOptions& options,
                                                         const std::shared_ptr<EditSessionState>& editing) {
    DesignSaveOptions rewrite = options;
    rewrite.mode = ZvFileWriteMode::Overwrite;
    DesignSave save = begin(file, rewrite, editing);
    const State& s = *save.m_state;
    const FileName copyName = ZvFileIO().constructAutosaveFileName(file);
    const std::shared_ptr<const Folder> copyFolder =
        editing ? editing->copyFolder : guarded(kCannotRecover, file, [&] {
            return std::make_shared<const Folder>(Folder::holding(copyName));
        });
    const Site copy{copyFolder, copyName.getLeafName()};
    const std::optional<FileFacts> copied = guarded(kCannotRecover, file, [&] { return copy.folder->look(copy.leaf); });
    if (copied && (copied->kind == FileFacts::Kind::Folder || copied->kind == FileFacts::Kind::Other)) {
        refuse(kCannotRecover, file, translate("DesignSave", "it is not a regular file."),
               DesignRefusal::NotRegularFile, std::make_error_code(std::errc::invalid_argument));
    }
    if (!copied || copied->kind != FileFacts::Kind::Regular || copied->size == 0) {
        return std::nullopt; // no copy (a link there is none this software wrote)
    }
    const std::string target = FileName(s.target).getLeafName();
    requireCopyOfOwner(file, copyName.toNativeString(), *copied,
                       guarded(kCannotRecover, file, [&] { return s.folder->look(target); }));
    // An editor opening the design finds nothing to recover in a file that
    // is not its copy; its autosave refuses that file later.
    const AtCopyName at = guarded(kCannotRecover, file, [&] { return lookAtCopy(copy, Site{s.folder, target}); });
    if (at.foreign) {
        if (editing) {
            return std::nullopt;
        }
        requireReplaceable(kCannotRecover, file, copyName.toNativeString(), at);
    }
    RecoveredCopy recovered;
    {
        AutosaveOrigin origin;
        const OpenedDesign opened = openCopy(file, copy, *copied, origin);
        const bool newer = s.isNew || (sameFile(FileIdentity{origin.device, origin.inode, origin.birth},
                                                s.lock->identity()) &&
                                       origin.changes == s.previousChanges);
        if (!newer) {
            return std::nullopt;
        }
        takeIdentities(file, opened.store);
        DesignPart part = save.part();
        opened.forEachObject([&](const SerializationTransferObject& object) {
            part.save(object);
            ++recovered.objectCount;
            return true;
        });
        recovered.saved = save.commit(opened.dataRevision, opened.dataRevisionNumber);
        recovered.copy = copyName.toNativeString();
    }
    // Still under the design's lock. A copy that stays is older than the
    // design now, and never recovered again.
    try {
        (void)copy.folder->remove(copy.leaf);
    } catch (const FileNameException&) {
    }
    return recovered;
}

DesignSave DesignSave::beginAutosave(const std::shared_ptr<EditSessionState>& editing, std::uint64_t saves,
                                     const DesignSaveOptions& options) {
    const std::string& file = editing->file;
    const SaveTarget resolved = saveTarget(file, kCannotCopy);
    const FileName temporary = ZvFileIO::temporaryName(FileName(editing->copyLeaf));
    const Site design = designSite(kCannotCopy, file, resolved);
    // A design never saved is locked by the name it will have, as a first
    // save locks it, with an empty file that goes with the lock.
    // One at a time: each writes the copy's temporary file.
    if (!editing->startAutosave()) {
        refuse(kCannotCopy, file, thisProgram(), DesignRefusal::Busy,
               std::make_error_code(std::errc::device_or_resource_busy));
    }
    std::optional<FileLock> lock;
    try {
        lock.emplace(lockDesign(kCannotCopy, file, design, /*create=*/true, options));
    } catch (...) {
        editing->endAutosave();
        throw;
    }
    auto state = std::make_unique<State>(file, resolved.path, options, editing->copyFolder, std::move(*lock),
                                         SessionKind::Autosave, editing);
    state->editing = editing;
    state->autosave = true;
    step(options, "locked");
    state->cannot = kCannotCopy;
    state->design = design;
    state->tokenSaves = saves;
    state->copyLeaf = editing->copyLeaf;
    state->copyName = editing->copyName;
    state->origin = guarded(kCannotCopy, file, [&] { return originOf(state->lock->identity(), design); });
    requireCopyCurrent(*state, state->origin);
    requireNoLinkAt(*state->folder, file, FileName(state->copyName));
    (void)requireReplaceableCopy(kCannotCopy, file, state->copyName, Site{state->folder, state->copyLeaf}, design);
    guarded(kCannotCopy, file, [&] {
        // Left by an autosave that did not finish; a link there is removed,
        // never followed.
        (void)state->folder->remove(temporary.getLeafName());
        state->written = FileName(state->folder->pathOf(temporary.getLeafName()));
        // The copy has the design's access from its first byte.
        state->temporary.emplace(NewFile::create(Site{state->folder, temporary.getLeafName()}, design));
        step(options, "prepared");
        state->store = SqliteDesignStore::openForReplacement(Site{state->folder, temporary.getLeafName()});
    });
    // The copy is written with the design let go: a save never waits for it.
    state->lock.reset();
    state->session = std::make_shared<DesignPart::Session>(
        DesignPart::Session{file, kCannotCopy, ZvFileWriteMode::Overwrite, state->store, state->entry.giveWay()});
    return DesignSave(std::move(state));
}

FileName writeAutosaveCopy(const std::string& typed, const DesignSaveOptions& options) {
    const std::string file = usableName(kCannotCopy, typed);
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
    requireUnclaimed(kCannotCopy, file, design);
    step(options, "locked");
    const OpenedDesign opened = *open(kCannotCopy, file, target, /*emptyIsNew=*/false, /*full=*/false, &design);
    opened.requireReadable();
    requireNoLinkAt(*folder, file, copy);
    guarded(kCannotCopy, file, [&] {
        // Left by an autosave that did not finish; a link there is removed,
        // never followed.
        (void)folder->remove(temporary.getLeafName());
        const Site made{folder, temporary.getLeafName()};
        NewFile copied = NewFile::create(made, design);
        // The copy says whose it is. It holds what the design holds, no
        // more: its origin's change count, 0, is that of no saved design, so
        // it is never taken for a copy newer than the design.
        const FileIdentity was = lock.identity();
        opened.store->copyTo(made, {was.device, was.inode, was.birth, 0}, design.leaf);
        step(options, "copied");
        // The copy keeps the design's access, given as it was made; what is
        // at the copy's name (an older copy, or a link planted meanwhile)
        // is replaced, not followed, unless it is not the design's copy.
        const AtCopyName at =
            requireReplaceableCopy(kCannotCopy, file, copy.toNativeString(), Site{folder, copy.getLeafName()}, design);
        if (folder->replace(temporary.getLeafName(), copied.identity(), copy.getLeafName(), expectedAt(at),
                           /*takeAccess=*/false) != Folder::Replaced::Done) {
            refuseCopyNotPut(file);
        }
        copied.release();
    });
    return copy;
}

std::optional<FileName> newerAutosaveCopy(const std::string& typed) {
    const std::string file = usableName(kCannotLookForCopy, typed);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    return guarded(kCannotLookForCopy, file, [&]() -> std::optional<FileName> {
        const std::optional<FileFacts> copied = lookAt(copy);
        if (!copied || copied->kind != FileFacts::Kind::Regular || copied->size == 0) {
            return std::nullopt;
        }
        const ResolvedName resolved = resolveName(file);
        const std::optional<FileFacts> design =
            resolved.outcome == ResolvedName::Outcome::Resolved ? lookAt(FileName(resolved.path)) : std::nullopt;
        // Only a copy of this design is one to recover.
        const Site designSite = design ? siteOf(resolved.path) : Site{nullptr, FileName(file).getLeafName()};
        const Site copySite{std::make_shared<const Folder>(Folder::holding(copy)), copy.getLeafName()};
        if (lookAtCopy(copySite, designSite).foreign) {
            return std::nullopt;
        }
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
        const AutosaveOrigin now = originOf(design->identity, designSite);
        const bool unchanged = sameFile(FileIdentity{origin.device, origin.inode, origin.birth}, design->identity) &&
                               origin.changes == now.changes;
        return unchanged ? std::optional<FileName>(copy) : std::nullopt;
    });
}

bool removeAutosaveCopy(const std::string& typed, const DesignSaveOptions& options) {
    const std::string file = usableName(kCannotDeleteCopy, typed);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    FileIdentity there;
    if (guarded(kCannotDeleteCopy, file, [&] { return identityOf(FileName(file), there); })) {
        makeWay(kCannotDeleteCopy, file, there);
    }
    // A design that is gone has no lock to take, and no autosave to keep out.
    std::optional<Site> design;
    std::optional<FileLock> lock;
    try {
        design = guarded(kCannotDeleteCopy, file, [&] { return siteOf(file); });
        lock.emplace(lockDesign(kCannotDeleteCopy, file, *design, /*create=*/false, options));
        step(options, "locked");
    } catch (const DesignRefusedException& e) {
        const bool gone = e.reason() == DesignRefusal::Missing || e.reason() == DesignRefusal::Failed;
        if (!gone || FileUtilities::exists(file, true)) {
            throw;
        }
    }
    // The copy of a design an editor holds is the editor's.
    if (design && design->folder) {
        requireUnclaimed(kCannotDeleteCopy, file, *design);
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
        const Site copySite{std::make_shared<const Folder>(Folder::holding(copy)), copy.getLeafName()};
        // A design that is gone is still named by its leaf.
        const AtCopyName at = guarded(kCannotDeleteCopy, file, [&] {
            return lookAtCopy(copySite, design.value_or(Site{nullptr, FileName(file).getLeafName()}));
        });
        if (at.facts && (at.facts->kind == FileFacts::Kind::Folder || at.facts->kind == FileFacts::Kind::Other)) {
            refuse(kCannotDeleteCopy, file, translate("DesignSave", "it is not a regular file."),
                   DesignRefusal::NotRegularFile, std::make_error_code(std::errc::invalid_argument));
        }
        requireReplaceable(kCannotDeleteCopy, file, copy.toNativeString(), at);
        return at.facts && copySite.folder->remove(copySite.leaf);
    } catch (const FileNameException& e) {
        if (isAbsent(e.code())) {
            return false; // no folder, no copy
        }
        refuseFailure(kCannotDeleteCopy, file, e);
    }
}

} // namespace Zorvan
