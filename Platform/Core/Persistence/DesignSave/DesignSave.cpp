// The save road: opening a design for a host, a save in every mode and the
// parts it is written through. The autosave roads are in Autosave.cpp.

#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Platform/Core/Persistence/DesignSave/Road.h"
#include "Translation/Substitute.h"

namespace Zorvan {

using namespace road;

DesignRefusedException::DesignRefusedException(const std::string& message, DesignRefusal reason,
                                               std::optional<std::error_code> cause, std::source_location location)
    // A code of value 0 prints as "Success": it is no cause.
    : ZvException(message, location), m_reason(reason), m_cause(cause && *cause ? cause : std::nullopt) {}
DesignRefusedException::DesignRefusedException(const DesignRefusedException& other) = default;
DesignRefusedException& DesignRefusedException::operator=(const DesignRefusedException& other) = default;
DesignRefusedException::~DesignRefusedException() = default;

std::string_view to_string(DesignRefusal reason) noexcept {
    switch (reason) {
    case DesignRefusal::NoName:
        return "NoName";
    case DesignRefusal::ReadOnly:
        return "ReadOnly";
    case DesignRefusal::NotRegularFile:
        return "NotRegularFile";
    case DesignRefusal::NameTooLong:
        return "NameTooLong";
    case DesignRefusal::Missing:
        return "Missing";
    case DesignRefusal::NoDesignYet:
        return "NoDesignYet";
    case DesignRefusal::NotADesign:
        return "NotADesign";
    case DesignRefusal::Newer:
        return "Newer";
    case DesignRefusal::Busy:
        return "Busy";
    case DesignRefusal::Interfered:
        return "Interfered";
    case DesignRefusal::ForeignFile:
        return "ForeignFile";
    case DesignRefusal::Failed:
        return "Failed";
    case DesignRefusal::Claimed:
        return "Claimed";
    case DesignRefusal::UnusableName:
        return "UnusableName";
    case DesignRefusal::Damaged:
        return "Damaged";
    }
    return ""; // a value cast from a number no reason has
}

void OpenedDesign::requireReadable() const {
    if (!readable) {
        throw DesignRefusedException(
            substitute(translate("DesignSave", "%1 was written by a newer version of the software (file version %2, "
                                               "this one reads up to %3); it is left untouched."),
                       {quoted(file), std::to_string(version), std::to_string(SqliteDesignStore::kCurrentVersion)}),
            DesignRefusal::Newer);
    }
}

void OpenedDesign::forEachObject(const SqliteDesignStore::ObjectVisitor& visit) const {
    if (!store) {
        throw std::logic_error("OpenedDesign::forEachObject called on a design that was not opened");
    }
    guarded(kCannotOpen, file, [&] { store->forEachObject(visit); });
}

OpenedDesign openDesign(const std::string& file, const DesignOpenOptions& options) {
    const std::string name = usableName(kCannotOpen, file);
    return openForHost(kCannotOpen, name, name, options);
}

DesignPart::DesignPart(std::shared_ptr<Session> session, bool selected)
    : m_session(std::move(session)), m_selected(selected) {}

namespace {

// The longest an autosave of the session may hold the design while it
// begins or puts its copy in place, on a slow disk.
constexpr std::chrono::milliseconds kAutosaveMoment{10000};

// Refuses an autosave once a save of the design began.
void requireNotSuperseded(const DesignPart::Session& s) {
    if (s.giveWay && *s.giveWay) {
        refuse(s.cannot, s.file, translate("DesignSave", "a save of it began, and the autosave gave way to it."),
               DesignRefusal::Busy, std::make_error_code(std::errc::operation_canceled));
    }
}

// Refuses the use of a part whose save ended, and an autosave's part once a
// save of the design began.
void requireWriting(const DesignPart::Session& s, const char* call) {
    if (!s.store) {
        throw std::logic_error(std::string("DesignPart::") + call +
                               " called after its save was committed, cancelled or dropped");
    }
    requireNotSuperseded(s);
}

} // namespace

// The library's module for the part, made for each call: it holds a share of
// the store, which a part kept by the host must not keep open once its save
// ended.
DesignIOModule DesignPart::module() const { return {m_session->store, m_session->mode, m_selected}; }

void DesignPart::save(const SerializationTransferObject& object) {
    requireWriting(*m_session, "save");
    // The module hands the object to the store as it is; neither changes it.
    guarded(m_session->cannot, m_session->file,
            [&] { module().save(const_cast<SerializationTransferObject&>(object)); });
}

bool DesignPart::remove(std::int64_t identity) {
    requireWriting(*m_session, "remove");
    if (!module().doAction()) {
        return false;
    }
    return guarded(m_session->cannot, m_session->file, [&] { return m_session->store->remove(identity); });
}

bool DesignPart::isWritten() const { return module().doAction(); }

DesignSave::State::~State() { endWriting(); }

void DesignSave::State::endWriting() {
    if (session) {
        session->store.reset();
    }
    if (store) {
        store->close();
        store.reset();
    }
}

namespace {

// The refusal of a save whose design another program renamed away, or put
// something else in the place of.
[[noreturn]] void refuseMoved(const DesignSave::State& s) {
    refuse(kCannotSave, s.file,
           translate("DesignSave", "another program moved or replaced it while it was being saved; nothing "
                                   "was replaced."),
           DesignRefusal::Interfered);
}

// Refuses when the file SQLite opened for an update in place is not the one
// the save locked and read (another was put at the name in between).
void requireLockedDesignOpened(const DesignSave::State& s) {
    if (!sameFile(s.store->identity(), s.lock->identity())) {
        refuseMoved(s);
    }
}

} // namespace

namespace {

// A mode no save knows is the caller's mistake, refused before any file is
// looked at: the library's module would save it as an update of selected
// parts.
void requireKnownMode(ZvFileWriteMode mode) {
    switch (mode) {
    case ZvFileWriteMode::Overwrite:
    case ZvFileWriteMode::UpdateSelected:
    case ZvFileWriteMode::UpdateAll:
        return;
    }
    throw std::invalid_argument("DesignSave::begin: " + std::to_string(static_cast<std::int32_t>(mode)) +
                                " is no ZvFileWriteMode");
}

// The design's place in the folder its save holds.
Site designOf(const DesignSave::State& s) { return {s.folder, FileName(s.target).getLeafName()}; }

// The first steps of a save of `file`: its name resolved and checked, the
// design found (an update needs one), this process's saves and autosaves
// of it given way to, its folder held and its one-writer lock taken.
std::unique_ptr<DesignSave::State> lockForSave(const std::string& file, const DesignSaveOptions& options,
                                               const std::shared_ptr<EditSessionState>& editing) {
    const bool rewrite = options.mode == ZvFileWriteMode::Overwrite;
    const SaveTarget resolved = saveTarget(file, kCannotSave);
    requireSavePossible(kCannotSave, file, resolved);
    FileIdentity there;
    const bool exists = guarded(kCannotSave, file, [&] { return designAt(resolved.site, there); });
    if (!rewrite && !exists) {
        const std::optional<AutosaveOrigin> known = editing ? editing->known() : std::nullopt;
        if (known && known->changes != 0 && !options.overwriteChanges) {
            refuseChangedSinceOpened(kCannotSave, file); // removed since the session opened it
        }
        refuse(kCannotUpdate, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing,
               std::make_error_code(std::errc::no_such_file_or_directory));
    }
    if (exists) {
        makeWay(kCannotSave, file, there);
    }
    std::shared_ptr<const Folder> folder = holdFolder(kCannotSave, file, FileName(resolved.path), resolved.site.folder);
    const Site design{folder, resolved.site.leaf};
    // Under a session's claim no other editor saves: only the session's own
    // autosave, for a moment as it begins or puts its copy in place, or a
    // road by name that finds the claim and gives up, holds the lock. A save
    // of the session waits that moment out.
    DesignSaveOptions waiting = options;
    if (editing) {
        waiting.lockWait = std::max(options.lockWait, kAutosaveMoment);
    }
    auto state = std::make_unique<DesignSave::State>(file, resolved.path, options, std::move(folder),
                                                     lockDesign(kCannotSave, file, design, rewrite, waiting),
                                                     SessionKind::Save);
    state->editing = editing;
    if (!editing) {
        requireUnclaimed(kCannotSave, file, design);
    }
    step(options, "locked");
    // This process's own read handles of the design would keep an update in
    // place from committing: their reads end here (they read on by
    // themselves, each read under a lock of its own).
    for (const std::shared_ptr<SqliteDesignStore>& reader : Sessions::instance().readers(state->lock->identity())) {
        reader->endRead();
    }
    return state;
}

// Reads the locked design as it is, when the lock found one: it must be
// readable by this software, and its identities are taken. An update needs
// a design that holds one.
void readDesignAsItIs(DesignSave::State& s) {
    const bool rewrite = s.options.mode == ZvFileWriteMode::Overwrite;
    const Site design = designOf(s);
    const std::optional<OpenedDesign> opened = open(rewrite ? kCannotSave : kCannotUpdate, s.file, s.target,
                                                    /*emptyIsNew=*/true, /*full=*/false, &design, rewrite);
    if (!opened) {
        if (!rewrite) {
            refuse(kCannotUpdate, s.file, translate("DesignSave", "it holds no design yet."),
                   DesignRefusal::NoDesignYet);
        }
        return;
    }
    opened->requireReadable();
    ZvFileIO::logFileVersionInfo(s.target, opened->store);
    takeIdentities(s.file, opened->store);
    // A rewrite keeps the revision the design was created with.
    s.createdRevision = opened->createdRevision;
    s.isNew = false;
    // A rewrite reads the design as it was while it writes the new version
    // beside it, keeping other writers out until it is in place. An update
    // in place reads it through the store it writes: a second connection's
    // read lock would keep that store from ever committing.
    if (rewrite) {
        s.previous = opened->store;
        s.previousChanges = guarded(kCannotSave, s.file, [&] { return opened->store->changeCounter(); });
    }
}

// Opens the store the save writes. A rewrite goes through a temporary file;
// so does a first save, whose name the lock holds with an empty file until
// the new one replaces it. The temporary file is written without a journal
// or syncs of its own (nobody sees it before it is in place), so both flush
// exactly twice, the least a save that is done when it says so can do: the
// new file before its rename, else a power cut could leave the name holding
// a file whose pages never reached the disk; the folder after it, else the
// cut could undo the rename and the design would be the old one, or for a
// first save an empty file.
void openWritten(DesignSave::State& s) {
    const FileName target(s.target);
    guarded(kCannotSave, s.file, [&] {
        // A rewrite writes beside the design, where a save that did not
        // finish may have left its temporary file (a link there is removed,
        // never followed).
        s.written = s.options.mode == ZvFileWriteMode::Overwrite ? ZvFileIO::temporaryName(target) : target;
        if (s.written != target) {
            const std::string leaf = s.written.getLeafName();
            (void)s.folder->remove(leaf);
            s.temporary.emplace(NewFile::create(Site{s.folder, leaf}, designOf(s)));
        }
        step(s.options, "prepared");
        const Site written{s.folder, s.written.getLeafName()};
        s.store = s.temporary ? SqliteDesignStore::openForReplacement(written)
                              : SqliteDesignStore::openForWriting(written);
    });
    if (!s.temporary) {
        requireLockedDesignOpened(s);
    }
}

// The design as it is now, which the save holds locked.
AutosaveOrigin designState(const DesignSave::State& s) {
    return s.isNew ? AutosaveOrigin{} : originOf(s.lock->identity(), designOf(s));
}

// A save of an editing session: the design is still as the session opened
// or last saved it, unless the host chose to overwrite another's changes.
void requireAsOpened(const DesignSave::State& s) {
    const std::optional<AutosaveOrigin> known = s.editing ? s.editing->known() : std::nullopt;
    if (known && !s.options.overwriteChanges &&
        !guarded(kCannotSave, s.file, [&] { return sameState(*known, designState(s)); })) {
        refuseChangedSinceOpened(kCannotSave, s.file);
    }
}

} // namespace

DesignSave DesignSave::begin(const std::string& file, const DesignSaveOptions& options) {
    return begin(usableName(kCannotSave, file), options, nullptr);
}

DesignSave DesignSave::begin(const std::string& file, const DesignSaveOptions& options,
                             const std::shared_ptr<EditSessionState>& editing) {
    requireKnownMode(options.mode);
    std::unique_ptr<State> state = lockForSave(file, options, editing);
    if (!state->lock->createdFile()) {
        readDesignAsItIs(*state);
    }
    requireAsOpened(*state);
    openWritten(*state);
    state->session = std::make_shared<DesignPart::Session>(
        DesignPart::Session{file, kCannotSave, options.mode, state->store, nullptr});
    return DesignSave(std::move(state));
}

DesignSave::DesignSave(std::unique_ptr<State> state) : m_state(std::move(state)) {}
DesignSave::DesignSave(DesignSave&& other) noexcept = default;
DesignSave& DesignSave::operator=(DesignSave&& other) noexcept = default;
DesignSave::~DesignSave() = default;

DesignSave::State& DesignSave::live(const char* call, bool writing) const {
    if (!m_state) {
        throw std::logic_error(std::string("DesignSave::") + call +
                               (m_ended == Ended::No          ? " called on a save that was moved from"
                                : m_ended == Ended::Committed ? " called after commit()"
                                                              : " called after cancel()"));
    }
    if (writing && !m_state->store) {
        throw std::logic_error(std::string("DesignSave::") + call + " called after commit()");
    }
    return *m_state;
}

void DesignSave::forEachObject(const SqliteDesignStore::ObjectVisitor& visit) const {
    const State& s = live("forEachObject");
    if (s.isNew) {
        return;
    }
    guarded(kCannotSave, s.file, [&] { s.before().forEachObject(visit, SqliteDesignStore::Fields::IdentityAndType); });
}

std::int64_t DesignSave::objectCount() const {
    const State& s = live("objectCount");
    if (s.isNew) {
        return 0;
    }
    return guarded(kCannotSave, s.file, [&] { return s.before().objectCount(); });
}

bool DesignSave::isNewDesign() const { return live("isNewDesign", false).isNew; }
const FileName& DesignSave::writtenFile() const { return live("writtenFile", false).written; }

DesignPart DesignSave::part(bool selected) const { return DesignPart(live("part").session, selected); }

void DesignSave::createGroup() {
    State& s = live("createGroup");
    guarded(s.cannot, s.file, [&] { ZvFileIO().createGroup(s.store); });
}

void DesignSave::cancel() noexcept {
    if (m_state) {
        m_ended = m_state->committed ? Ended::Committed : Ended::Cancelled;
        m_state.reset();
    }
}

namespace {

// An update in place whose commit failed after SQLite began to write the
// design (its journal could not be removed) leaves the journal hot: it is
// played back now, while the save still holds the lock, not by whoever
// opens the design next. A failure here leaves it for them.
void rollBack(DesignSave::State& s) {
    s.endWriting();
    try {
        (void)SqliteDesignStore::openForReading(Site{s.folder, FileName(s.target).getLeafName()});
    } catch (const std::exception&) {
    }
}

// Puts an autosave's copy in place of the previous one, under the design's
// lock, not following what is at the copy's name (an older copy of the
// design, or a link planted meanwhile) and never replacing what is not the
// design's copy, which may have come there while the copy was written.
void putCopyInPlace(DesignSave::State& s) {
    const AtCopyName at = requireReplaceableCopy(kCannotCopy, s.file, s.copyName, Site{s.folder, s.copyLeaf}, s.design);
    const bool done = guarded(kCannotCopy, s.file, [&] {
        return s.folder->replace(s.written.getLeafName(), s.temporary->identity(), s.copyLeaf, expectedAt(at),
                                /*takeAccess=*/false) == Folder::Replaced::Done;
    });
    if (!done) {
        refuseCopyNotPut(s.file);
    }
    s.temporary->release();
}

// An autosave takes the design's lock again to put its copy in place, and
// does only while the copy is still current.
void relockForCopy(DesignSave::State& s) {
    requireNotSuperseded(*s.session);
    requireCopyCurrent(s, s.origin);
    s.lock.emplace(lockDesign(kCannotCopy, s.file, s.design, /*create=*/true, s.options));
    requireNotSuperseded(*s.session);
    requireCopyCurrent(s, guarded(kCannotCopy, s.file, [&] { return originOf(s.lock->identity(), s.design); }));
}

// A save of an editing session moves the session on: the design it knows is
// the new version, tokens taken before are stale, and the autosave copy,
// which holds nothing the design does not, goes (one left behind is older
// than the design, and never recovered). A file at the copy's name that is
// not the design's copy stays, unmentioned: the save is done.
void noteSaved(DesignSave::State& s) {
    if (!s.editing) {
        return;
    }
    const FileIdentity now = s.temporary ? s.temporary->identity() : s.lock->identity();
    AutosaveOrigin state{now.device, now.inode, now.birth, ~std::uint32_t{0}}; // matches nothing unless read
    try {
        state = originOf(now, designOf(s));
        const Site copy{s.editing->copyFolder, s.editing->copyLeaf};
        const AtCopyName at = lookAtCopy(copy, designOf(s));
        if (at.facts && !at.foreign && !at.readOnly) {
            (void)copy.folder->remove(copy.leaf);
        }
    } catch (const FileNameException&) {
    } catch (const FileError&) {
    }
    s.editing->saved(state);
}

} // namespace

void road::requireCopyCurrent(const DesignSave::State& s, const AutosaveOrigin& now) {
    if (s.editing->saves() != s.tokenSaves) {
        refuse(kCannotCopy, s.file,
               translate("DesignSave", "it was saved after the objects to copy were taken; the copy is left as it "
                                       "was."),
               DesignRefusal::Busy, std::make_error_code(std::errc::operation_canceled));
    }
    const std::optional<AutosaveOrigin> known = s.editing->known();
    if ((known && !sameState(*known, now)) || !sameState(s.origin, now)) {
        refuseChangedSinceOpened(kCannotCopy, s.file);
    }
}

SaveResult DesignSave::commit(const std::string& dataRevision, std::int32_t dataRevisionNumber) {
    State& s = live("commit");
    requireWriting(*s.session, "commit");
    // An autosave writes its copy as a rewrite does.
    const ZvFileWriteMode mode = s.autosave ? ZvFileWriteMode::Overwrite : s.options.mode;
    SaveResult result;
    try {
        guarded(s.cannot, s.file, [&] {
            if (s.autosave) {
                s.store->writeAutosaveOrigin(s.origin, s.design.leaf);
            }
            result.revision =
                ZvFileIO::writeMetaData(s.store, dataRevision, dataRevisionNumber, mode, s.createdRevision);
            s.store->commit();
        });
    } catch (const DesignRefusedException&) {
        if (!s.temporary) {
            rollBack(s);
        }
        throw;
    }
    // Closed now, also while the host still holds parts: the file it wrote
    // must be closed before it is put in place.
    s.endWriting();
    step(s.options, "committed");
    if (s.autosave) {
        relockForCopy(s);
        putCopyInPlace(s);
        s.lock.reset();
        result.file = s.copyName;
    } else {
        if (s.temporary) {
            putInPlace(s);
        }
        noteSaved(s);
        result.file = s.file;
    }
    s.committed = true;
    return result;
}

namespace {

// Other programs that write the design without its lock (an sqlite3 shell)
// are not kept out by it: a rewrite puts its file in place only when none of
// them committed to the design since the save read it, and none is in the
// middle of a transaction whose journal or log would be played into the new
// file.
void requireNoOtherWriter(const DesignSave::State& s) {
    const bool updating = guarded(kCannotSave, s.file, [&] { return SqliteDesignStore::writerBeside(designOf(s)); });
    if (updating) {
        refuse(kCannotSave, s.file,
               translate("DesignSave", "another program is updating it in place; the design is left as it was."),
               DesignRefusal::Busy, std::make_error_code(std::errc::device_or_resource_busy));
    }
    if (s.previous && guarded(kCannotSave, s.file, [&] { return s.previous->changeCounter(); }) != s.previousChanges) {
        refuse(kCannotSave, s.file,
               translate("DesignSave", "another program changed it while it was being saved; nothing was replaced."),
               DesignRefusal::Interfered);
    }
}

// Takes the lock of the file at `leaf` of the design's folder (the new
// version) without waiting; false when another program holds it.
bool lockNewVersion(DesignSave::State& s, const std::string& leaf) {
    FileLock::Options now;
    now.wait = std::chrono::milliseconds(0);
    try {
        s.successorLock.emplace(FileLock::acquire(Site{s.folder, leaf}, now));
        return true;
    } catch (const FileError&) { // busy: the lock throws nothing else of its own
        return false;
    }
}

[[noreturn]] void refuseTemporaryReplaced(const DesignSave::State& s) {
    refuse(kCannotSave, s.file,
           translate("DesignSave", "another program replaced its temporary file; the design is left as it was."),
           DesignRefusal::Interfered);
}

// The temporary file is still the one this save wrote (and, where open
// files cannot be replaced, locked ahead of the rename).
void requireTemporaryUnchanged(DesignSave::State& s, bool replacesOpenFiles) {
    if (!guarded(kCannotSave, s.file, [&] {
            return s.temporary->unchanged() &&
                   (!replacesOpenFiles || lockNewVersion(s, s.written.getLeafName()));
        })) {
        refuseTemporaryReplaced(s);
    }
}

// Windows cannot replace a file another handle holds: the design as it was
// is closed, this process's read handles of it too.
void closeWhatHoldsTheDesign(DesignSave::State& s) {
    s.previous.reset();
    for (const std::shared_ptr<SqliteDesignStore>& reader : Sessions::instance().readers(s.lock->identity())) {
        reader->close();
    }
}

// Renames the temporary file over the locked design, in the folder held
// since begin, refusing when either changed on the way.
void replaceDesign(DesignSave::State& s) {
    Folder::Replaced replaced = Folder::Replaced::Done;
    try {
        replaced = s.folder->replace(s.written.getLeafName(), s.temporary->identity(), FileName(s.target).getLeafName(),
                                    s.lock->identity(), /*takeAccess=*/true);
    } catch (const FileNameException& e) {
        // Windows: a viewer, a scanner or a SQLite connection of another
        // program that has the design open without sharing deletion.
        if (isHeldOpen(s.target)) {
            refuse(kCannotSave, s.file,
                   translate("DesignSave", "another program has it open and keeps it from being replaced; the "
                                           "design is left as it was."),
                   DesignRefusal::Busy, e.code());
        }
        refuse(kCannotSave, s.file,
               substitute(translate("DesignSave",
                                    "its new version cannot be put in place (%1); the design is left as it was."),
                          {e.code() ? e.code().message() : std::string(e.what())}),
               isDenied(e.code()) ? DesignRefusal::ReadOnly : DesignRefusal::Failed, e.code());
    }
    if (replaced == Folder::Replaced::SourceChanged) {
        refuseTemporaryReplaced(s);
    }
    if (replaced == Folder::Replaced::TargetChanged) {
        refuseMoved(s);
    }
}

} // namespace

// Puts the new version of a rewrite or a first save in place of the file
// the design's lock holds, in the folder held since begin.
//
// The design's lock holds the file that is at its name now; after the
// rename the name holds the new version, which a save that comes to it then
// would find unlocked and take at once, while this one has not yet said it
// is done. The new version is locked first, so that save waits for this one
// to end as one that came earlier does. Windows cannot put a file in place
// while another handle has it open (ReplaceFileW opens it sharing nothing,
// under Wine at least): there the design as it was is closed first, this
// process's own read handles of it too, and the new version locked under
// the design's name right after the rename, and only a save that comes to
// the name in between is let in before this one has said it is done.
void DesignSave::putInPlace(State& s) {
    const bool replacesOpenFiles = openFilesMayBeReplaced();
    requireTemporaryUnchanged(s, replacesOpenFiles);
    requireNoOtherWriter(s);
    if (!replacesOpenFiles) {
        closeWhatHoldsTheDesign(s);
    }
    replaceDesign(s);
    s.temporary->release();
    s.lock->keepFile();
    s.entry.moveTo(s.temporary->identity());
    s.previous.reset();
    if (!replacesOpenFiles) {
        // Done: a lock that cannot be taken now only lets a save in early.
        try {
            (void)lockNewVersion(s, FileName(s.target).getLeafName());
        } catch (const FileNameException&) {
        }
    }
}

} // namespace Zorvan
