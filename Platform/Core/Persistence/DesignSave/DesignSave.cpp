#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/Folder.h"
#include "FileHandling/NewFile.h"
#include "FileLock/FileLock.h"
#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Translation/Substitute.h"
#include "Translation/Translator.h"

namespace Zorvan {

DesignRefusedException::DesignRefusedException(const std::string& message, DesignRefusal reason,
                                               std::source_location location)
    : ZvException(message, location), m_reason(reason) {}
DesignRefusedException::DesignRefusedException(const DesignRefusedException& other) = default;
DesignRefusedException& DesignRefusedException::operator=(const DesignRefusedException& other) = default;
DesignRefusedException::~DesignRefusedException() = default;

namespace {

std::string quoted(const std::string& file) { return "'" + file + "'"; }

// A sentence of the user's language: translated whole, values put in after.
std::string translate(const char* context, const char* sourceText) {
    return Translator::translate(context, sourceText, nullptr, -1);
}

// What could not be done to a design: each a sentence with the file's name
// (%1) and the reason (%2), so that a language can order them its own way.
constexpr const char* kCannotSave = ZV_TRANSLATE_NOOP("DesignSave", "cannot save %1: %2");
constexpr const char* kCannotOpen = ZV_TRANSLATE_NOOP("DesignSave", "cannot open %1: %2");
constexpr const char* kCannotCopy = ZV_TRANSLATE_NOOP("DesignSave", "cannot write the autosave copy of %1: %2");
constexpr const char* kCannotUpdate = ZV_TRANSLATE_NOOP("DesignSave", "cannot update %1 in place: %2");
constexpr const char* kCannotDeleteCopy =
    ZV_TRANSLATE_NOOP("DesignSave", "cannot delete the autosave copy of %1: %2");

// Raises the refusal `cannot` (one of the sentences above) of `file`;
// `why` is in the user's language already.
[[noreturn]] void refuse(const char* cannot, const std::string& file, const std::string& why, DesignRefusal reason) {
    throw DesignRefusedException(substitute(translate("DesignSave", cannot), {quoted(file), why}), reason);
}

// The reason of a failure below the road (the store, the file service),
// which gives it in English.
std::string failure(const std::exception& e) { return std::string(e.what()) + "."; }
// The store's reason without the name of the file it was writing (a
// temporary file the user never named).
std::string failure(const DesignStoreException& e) { return e.detail() + "."; }

// The temporary name the file `file` is written under before it is put in
// place: "part.tmp.zvd", for an autosave copy "part.bak.tmp.zvd".
FileName temporaryName(FileName file) {
    file.replaceExtension(".tmp" + file.getExtension());
    return file;
}

// The most bytes a save adds to a design's leaf name: its journal
// ("part.zvd-journal") for an update in place, the temporary autosave copy
// ("part.bak.tmp.zvd"); a rewrite's temporary file ("part.tmp.zvd") is shorter.
std::size_t longestSuffix() {
    const std::string leaf = "part.zvd";
    const std::string copy = temporaryName(ZvFileIO().constructAutosaveFileName(leaf)).getLeafName();
    return std::max(SqliteDesignStore::journalPath(leaf).size(), copy.size()) - leaf.size();
}

// Why a link `owner` planted is not followed.
std::string protectedLink(const std::string& owner) {
    return substitute(translate("DesignSave", "it is a symbolic link of %1 in a folder everybody may write to, "
                                              "which the system does not follow for another user."),
                      {owner});
}

// The file a save of `file` writes: the file itself, or the file the links
// at that name lead to, followed once, here, as the kernel would follow
// them; every later step works on the folder and file found now. Refuses,
// before anything is written, links that lead nowhere or that the kernel
// would not follow, anything but a regular file, and a name too long for
// the files the save puts beside it.
std::string saveTarget(const std::string& file, const char* cannot) {
    ResolvedName resolved;
    try {
        resolved = resolveName(file);
    } catch (const FileNameException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    }
    switch (resolved.outcome) {
    case ResolvedName::Outcome::Missing:
        refuse(cannot, file, translate("DesignSave", "it is a symbolic link to a file that does not exist."),
               DesignRefusal::Missing);
    case ResolvedName::Outcome::Loop:
        refuse(cannot, file, translate("DesignSave", "its symbolic links lead round in a circle to no file."),
               DesignRefusal::Missing);
    case ResolvedName::Outcome::Protected:
        refuse(cannot, file, protectedLink(userName(resolved.linkOwner)), DesignRefusal::ForeignFile);
    case ResolvedName::Outcome::TooLong:
    case ResolvedName::Outcome::Resolved:
        break;
    }
    // A name that is no link keeps the user's spelling (for what the save
    // tells); its folder is held from now on all the same.
    const std::string target = resolved.links > 0 ? resolved.path : file;
    std::optional<FileFacts> there;
    try {
        there = Folder::holding(FileName(target)).look(FileName(target).getLeafName());
    } catch (const FileNameException& e) {
        if (!isAbsent(e.code())) { // no folder: nothing there yet, which the checks below say
            refuse(cannot, file, failure(e), DesignRefusal::Failed);
        }
    }
    if (there && there->kind != FileFacts::Kind::Regular) {
        refuse(cannot, file, translate("DesignSave", "it is not a regular file."), DesignRefusal::NotRegularFile);
    }
    const std::size_t limit = maxLeafNameLength(target);
    const std::size_t suffix = longestSuffix();
    if (FileName(target).getLeafName().size() + suffix > limit) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "its name is too long; this folder takes names of up to %1 "
                                                  "bytes, and a design's name may have at most %2 to leave room "
                                                  "for its temporary files."),
                          {std::to_string(limit), std::to_string(limit - suffix)}),
               DesignRefusal::NameTooLong);
    }
    const std::size_t longest = SqliteDesignStore::maxPathLength();
    if (resolved.outcome == ResolvedName::Outcome::TooLong || resolved.path.size() + suffix >= longest) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "its full path is too long; designs are opened by paths of up to "
                                                  "%1 bytes, with room for their temporary files."),
                          {std::to_string(longest - suffix - 1)}),
               DesignRefusal::NameTooLong);
    }
    return target;
}

// The folder a save's files are made in, held from now on. Refuses one
// this user may not create files in.
Folder holdFolder(const char* cannot, const std::string& file, const FileName& inside) {
    try {
        Folder folder = Folder::holding(inside);
        if (!folder.isWritable()) {
            refuse(cannot, file,
                   substitute(translate("DesignSave", "its folder %1 cannot be written, and a save needs room "
                                                      "beside the design for its own files."),
                              {quoted(folder.path())}),
                   DesignRefusal::ReadOnly);
        }
        return folder;
    } catch (const FileNameException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    }
}

// The sentence for a file beside the design that would change it.
std::string foreignFile(const DesignStoreForeignFileException& e) {
    using Kind = DesignStoreForeignFileException::Kind;
    switch (e.kind()) {
    case Kind::UnfinishedLog:
        return substitute(translate("DesignSave", "%1 beside it holds changes another program did not finish; open "
                                                  "the design with that program to finish them, or remove %1 to "
                                                  "drop them."),
                          {quoted(e.file())});
    case Kind::OtherOwner:
        return substitute(translate("DesignSave", "%1 beside it belongs to %2, not to the design's owner, and would "
                                                  "change the design; both are left as they are."),
                          {quoted(e.file()), e.owner()});
    case Kind::WriteAheadMode:
        return translate("DesignSave", "another program switched it to write-ahead logging, which this software "
                                       "does not read or write; it is left as it is.");
    case Kind::ProtectedLink:
        break;
    }
    return protectedLink(e.owner());
}

void step(const DesignSaveOptions& options, std::string_view name) {
    if (options.onStep) {
        options.onStep(name);
    }
}

// Takes the design's one-writer lock. `create`: a first save locks the name
// it is about to fill with an empty file.
FileLock lockDesign(const char* cannot, const std::string& file, const std::string& target, bool create,
                    const DesignSaveOptions& options) {
    FileLock::Options lockOptions;
    lockOptions.create = create;
    lockOptions.wait = options.lockWait;
    lockOptions.onWait = options.onWait;
    try {
        FileLock lock = FileLock::acquire(target, lockOptions);
        step(options, "locked");
        return lock;
    } catch (const FileBusyException& e) {
        refuse(cannot, file,
               e.heldOpen() ? translate("DesignSave", "another program has it open and keeps it from being written; "
                                                      "try again when it is closed.")
                            : translate("DesignSave", "another program is saving it; try again when it is done."),
               DesignRefusal::Busy);
    } catch (const FileNameException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    }
}

// Runs `action`, turning a failure of the store or the disk into a refusal
// that names the file.
template <class Action>
auto guarded(const char* cannot, const std::string& file, Action&& action) {
    try {
        return action();
    } catch (const DesignStoreBusyException&) {
        refuse(cannot, file, translate("DesignSave", "another program is writing it; try again when it is done."),
               DesignRefusal::Busy);
    } catch (const DesignStoreForeignFileException& e) {
        refuse(cannot, file, foreignFile(e), DesignRefusal::ForeignFile);
    } catch (const DesignStoreDuplicateException& e) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "two of its objects have the identity %1; nothing was saved."),
                          {std::to_string(e.identity())}),
               DesignRefusal::Failed);
    } catch (const DesignStoreException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    } catch (const FileNameException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    }
}

// Opens the design at `path` for reading; nullopt for an empty file when
// `emptyIsNew`. A refusal is the sentence `cannot` naming `file`.
std::optional<OpenedDesign> open(const char* cannot, const std::string& file, const std::string& path,
                                 bool emptyIsNew) {
    OpenedDesign opened;
    try {
        opened.store = SqliteDesignStore::openForReading(path);
    } catch (const DesignStoreBusyException&) {
        refuse(cannot, file, translate("DesignSave", "another program is writing it; try again when it is done."),
               DesignRefusal::Busy);
    } catch (const DesignStoreForeignFileException& e) {
        refuse(cannot, file, foreignFile(e), DesignRefusal::ForeignFile);
    } catch (const DesignStoreSystemException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    } catch (const DesignStoreException& e) {
        FileIdentity there;
        if (!guarded(cannot, file, [&] { return identityOf(FileName(path), there); })) {
            refuse(cannot, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing);
        }
        refuse(cannot, file, failure(e), DesignRefusal::NotADesign);
    }
    if (guarded(cannot, file, [&] { return opened.store->isEmpty(); })) {
        if (emptyIsNew) {
            return std::nullopt;
        }
        refuse(cannot, file, translate("DesignSave", "it holds no design yet (its first save did not finish)."),
               DesignRefusal::NoDesignYet);
    }
    // A disk that fails while the version is read is the store's failure,
    // not a file that holds no version.
    const ZvFileIO io;
    try {
        guarded(cannot, file, [&] {
            opened.readable = io.verifyZVVersion(opened.store, nullptr);
            opened.current = opened.readable && io.isCurrentZVVersion(opened.store);
            opened.store->readFileVersion(opened.version);
            opened.store->readCreatedRevision(opened.createdRevision);
            opened.store->readLastSavedRevision(opened.lastSavedRevision);
        });
    } catch (const FileOpenException& e) {
        refuse(cannot, file, e.what(), DesignRefusal::NotADesign);
    }
    if (opened.version < 0) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "its format version %1 is not one any version of the software "
                                                  "writes; it is left untouched."),
                          {std::to_string(opened.version)}),
               DesignRefusal::NotADesign);
    }
    return opened;
}

} // namespace

void OpenedDesign::requireReadable(const std::string& file) const {
    if (!readable) {
        throw DesignRefusedException(
            substitute(translate("DesignSave", "%1 was written by a newer version of the software (file version %2, "
                                               "this one reads up to %3); it is left untouched."),
                       {quoted(file), std::to_string(version), std::to_string(SqliteDesignStore::kCurrentVersion)}),
            DesignRefusal::Newer);
    }
}

namespace {

// The store as the host's design modules see it: every failure of the
// store is a refusal that names the user's file (not the temporary file the
// store writes), like every other failure of a save.
class RefusingStore final : public SingleObjectInterface<SerializationTransferObject> {
public:
    RefusingStore(std::shared_ptr<SqliteDesignStore> store, std::string file)
        : m_store(std::move(store)), m_file(std::move(file)) {}

    bool isOpen() const override { return m_store->isOpen(); }
    bool readCurrentVersion(std::int32_t& v) override { return run([&] { return m_store->readCurrentVersion(v); }); }
    bool readFileVersion(std::int32_t& v) override { return run([&] { return m_store->readFileVersion(v); }); }
    void markUpdated() override { run([&] { m_store->markUpdated(); }); }
    void addGroup(std::int32_t& reference) override { run([&] { m_store->addGroup(reference); }); }
    std::int32_t groupCount() const override { return run([&] { return m_store->groupCount(); }); }
    void readDataRevisionNumber(std::int32_t& n) override { run([&] { m_store->readDataRevisionNumber(n); }); }
    void writeDataRevisionNumber(std::int32_t& n) override { run([&] { m_store->writeDataRevisionNumber(n); }); }
    void readDataRevision(std::string& r) override { run([&] { m_store->readDataRevision(r); }); }
    void writeDataRevision(const std::string& r) override { run([&] { m_store->writeDataRevision(r); }); }
    void writeCreatedRevision(const std::string& r) override { run([&] { m_store->writeCreatedRevision(r); }); }
    void readCreatedRevision(std::string& r) override { run([&] { m_store->readCreatedRevision(r); }); }
    void writeLastSavedRevision(const std::string& r) override { run([&] { m_store->writeLastSavedRevision(r); }); }
    void readLastSavedRevision(std::string& r) override { run([&] { m_store->readLastSavedRevision(r); }); }
    std::int64_t objectCount() const override { return run([&] { return m_store->objectCount(); }); }
    void commit() override { run([&] { m_store->commit(); }); }
    void writeMaxIdentifier(std::int64_t number, std::int16_t domain) override {
        run([&] { m_store->writeMaxIdentifier(number, domain); });
    }
    void readMaxIdentifier(std::int64_t& number, std::int16_t& domain) override {
        run([&] { m_store->readMaxIdentifier(number, domain); });
    }
    bool contains(SerializationTransferObject& o) override { return run([&] { return m_store->contains(o); }); }
    void insert(SerializationTransferObject& o) override { run([&] { m_store->insert(o); }); }
    bool read(SerializationTransferObject& o) override { return run([&] { return m_store->read(o); }); }
    void update(SerializationTransferObject& o) override { run([&] { m_store->update(o); }); }

private:
    template <class Action>
    std::invoke_result_t<Action> run(Action&& action) const {
        return guarded(kCannotSave, m_file, std::forward<Action>(action));
    }

    std::shared_ptr<SqliteDesignStore> m_store;
    std::string m_file;
};

// Hands the design's identifier counter to the identifier service and
// reserves every identity the design holds, whatever the counter says.
void takeIdentities(const std::string& file, const std::shared_ptr<SqliteDesignStore>& store) {
    guarded(kCannotOpen, file, [&] {
        ZvFileIO::readMaxIdentifierValue(store);
        Identifier::reserveThrough(store->maxObjectId());
    });
}

} // namespace

OpenedDesign openDesign(const std::string& file) {
    OpenedDesign opened = *open(kCannotOpen, file, file, /*emptyIsNew=*/false);
    if (opened.readable) {
        takeIdentities(file, opened.store);
    }
    return opened;
}

// Declared in the order of taking: destroyed in reverse, so the store is
// closed before its temporary file is removed, and every handle on the
// design before the lock is let go (closing the lock's descriptor earlier
// would drop SQLite's locks on the design).
struct DesignSave::State {
    State(std::string fileName, std::string targetName, const DesignSaveOptions& saveOptions, Folder designFolder,
          FileLock designLock)
        : file(std::move(fileName)),
          target(std::move(targetName)),
          options(saveOptions),
          folder(std::move(designFolder)),
          lock(std::move(designLock)),
          written(target) {}

    std::string file;
    std::string target;
    DesignSaveOptions options;
    // The design's folder, held since begin: every later step acts in it.
    Folder folder;
    FileLock lock;
    // The new version's own lock, taken before it is renamed into place.
    std::optional<FileLock> successorLock;
    // The design as it was, open for reading during a rewrite: its read
    // lock keeps other programs from committing to it until the rename,
    // and its change counter tells whether one did before it was taken.
    std::shared_ptr<SqliteDesignStore> previous;
    std::uint32_t previousChanges = 0;
    bool isNew = true;
    std::string createdRevision;
    FileName written;
    std::optional<NewFile> temporary;
    std::shared_ptr<SqliteDesignStore> store;

    // Where the design as it was is read: beside a rewrite, or through the
    // store an update in place writes.
    const SqliteDesignStore& before() const { return previous ? *previous : *store; }
};

namespace {

// The refusal of a save whose design another program renamed away, or put
// something else in the place of.
[[noreturn]] void refuseMoved(const DesignSave::State& s) {
    refuse(kCannotSave, s.file,
           translate("DesignSave", "another program moved or replaced it while it was being saved; nothing "
                                   "was replaced."),
           DesignRefusal::Interfered);
}

// Refuses when the design's name no longer holds the file the save locked.
void requireDesignAtName(const DesignSave::State& s) {
    const std::optional<FileFacts> there =
        guarded(kCannotSave, s.file, [&] { return s.folder.look(FileName(s.target).getLeafName()); });
    if (!there || !sameFile(there->identity, s.lock.identity())) {
        refuseMoved(s);
    }
}

} // namespace

DesignSave DesignSave::begin(const std::string& file, const DesignSaveOptions& options) {
    const ZvFileWriteMode mode = options.mode;
    const std::string target = saveTarget(file, kCannotSave);
    std::string reason;
    if (!ZvFileIO::checkSavePossible(target, mode, &reason)) {
        const FileName name(target);
        refuse(kCannotSave, file, reason,
               name.getLeafName() == name.getExtension() ? DesignRefusal::NoName : DesignRefusal::ReadOnly);
    }
    FileIdentity there;
    if (mode != ZvFileWriteMode::Overwrite &&
        !guarded(kCannotUpdate, file, [&] { return identityOf(FileName(target), there); })) {
        refuse(kCannotUpdate, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing);
    }
    Folder folder = holdFolder(kCannotSave, file, FileName(target));
    auto state = std::make_unique<State>(
        file, target, options, std::move(folder),
        lockDesign(kCannotSave, file, target, mode == ZvFileWriteMode::Overwrite, options));
    if (!state->lock.createdFile()) {
        if (const std::optional<OpenedDesign> opened =
                open(mode == ZvFileWriteMode::Overwrite ? kCannotSave : kCannotUpdate, file, target,
                     /*emptyIsNew=*/true)) {
            opened->requireReadable(file);
            ZvFileIO::logFileVersionInfo(target, opened->store);
            takeIdentities(file, opened->store);
            // A rewrite keeps the revision the design was created with.
            state->createdRevision = opened->createdRevision;
            state->isNew = false;
            // A rewrite reads the design as it was while it writes the new
            // version beside it. An update in place reads it through the
            // store it writes: a second connection's read lock would keep
            // that store from ever committing.
            if (mode == ZvFileWriteMode::Overwrite) {
                state->previous = opened->store;
                state->previousChanges = guarded(kCannotSave, file, [&] { return opened->store->changeCounter(); });
            }
        } else if (mode != ZvFileWriteMode::Overwrite) {
            refuse(kCannotUpdate, file, translate("DesignSave", "it holds no design yet."), DesignRefusal::NoDesignYet);
        }
    }
    // A rewrite goes through a temporary file; so does a first save, whose
    // name the lock holds with an empty file until the new one replaces it.
    // The temporary file is written without a journal or syncs of its own
    // (nobody sees it before it is in place), so both flush exactly twice,
    // the least a save that is done when it says so can do: the new file
    // before its rename, else a power cut could leave the name holding a
    // file whose pages never reached the disk; the folder after it, else
    // the cut could undo the rename and the design would be the old one,
    // or for a first save an empty file.
    guarded(kCannotSave, file, [&] {
        // Also removes a temporary file a save that did not finish left. The
        // lock holds a file at the name, so a rewrite always writes beside
        // it, whatever the file service could see.
        (void)ZvFileIO::prepareFileName(target, mode);
        state->written = mode == ZvFileWriteMode::Overwrite ? temporaryName(FileName(target)) : FileName(target);
        if (state->written != FileName(target)) {
            state->temporary.emplace(NewFile::create(state->written, target));
        }
        step(options, "prepared");
        const std::string written = state->written.toNativeString();
        state->store = state->temporary ? SqliteDesignStore::openForReplacement(written)
                                        : SqliteDesignStore::openForWriting(written);
    });
    // SQLite opened the design by name: it must be the file locked and read.
    if (!state->temporary) {
        requireDesignAtName(*state);
    }
    return DesignSave(std::move(state));
}

DesignSave::DesignSave(std::unique_ptr<State> state) : m_state(std::move(state)) {}
DesignSave::DesignSave(DesignSave&& other) noexcept = default;
DesignSave& DesignSave::operator=(DesignSave&& other) noexcept = default;
DesignSave::~DesignSave() = default;

void DesignSave::forEachObject(const SqliteDesignStore::ObjectVisitor& visit) const {
    if (!m_state->store) {
        throw std::logic_error("DesignSave::forEachObject called after commit()");
    }
    if (m_state->isNew) {
        return;
    }
    guarded(kCannotSave, m_state->file,
            [&] { m_state->before().forEachObject(visit, SqliteDesignStore::Fields::IdentityAndType); });
}

std::int64_t DesignSave::objectCount() const {
    if (!m_state->store) {
        throw std::logic_error("DesignSave::objectCount called after commit()");
    }
    if (m_state->isNew) {
        return 0;
    }
    return guarded(kCannotSave, m_state->file, [&] { return m_state->before().objectCount(); });
}
bool DesignSave::isNewDesign() const { return m_state->isNew; }
const FileName& DesignSave::writtenFile() const { return m_state->written; }

DesignIOModule DesignSave::module(bool doAction) const {
    if (!m_state->store) {
        throw std::logic_error("DesignSave::module called after commit()");
    }
    return DesignIOModule(std::make_shared<RefusingStore>(m_state->store, m_state->file), m_state->options.mode,
                          doAction);
}

void DesignSave::createGroup() {
    if (!m_state->store) {
        throw std::logic_error("DesignSave::createGroup called after commit()");
    }
    guarded(kCannotSave, m_state->file, [&] { ZvFileIO().createGroup(m_state->store); });
}

namespace {

// An update in place whose commit failed after SQLite began to write the
// design (its journal could not be removed) leaves the journal hot: it is
// played back now, while the save still holds the lock, not by whoever
// opens the design next. A failure here leaves it for them.
void rollBack(DesignSave::State& s) {
    s.store->close();
    s.store.reset();
    try {
        (void)SqliteDesignStore::openForReading(s.target);
    } catch (const std::exception&) {
    }
}

} // namespace

SaveResult DesignSave::commit(const std::string& dataRevision, std::int32_t dataRevisionNumber) {
    State& s = *m_state;
    if (!s.store) {
        throw std::logic_error("DesignSave::commit called twice");
    }
    const ZvFileWriteMode mode = s.options.mode;
    SaveResult result;
    try {
        guarded(kCannotSave, s.file, [&] {
            result.revision =
                ZvFileIO::writeMetaData(s.store, dataRevision, dataRevisionNumber, mode, s.createdRevision);
            s.store->commit();
            // Closed now, also while the host still holds design modules: the
            // file it wrote must be closed before it is put in place.
            s.store->close();
            s.store.reset();
        });
    } catch (const DesignRefusedException&) {
        if (!s.temporary) {
            rollBack(s);
        }
        throw;
    }
    step(s.options, "committed");
    if (s.temporary) {
        putInPlace(s);
    }
    return result;
}

namespace {

// Other programs that write the design without its lock (an sqlite3 shell)
// are not kept out by it: a rewrite puts its file in place only when none of
// them committed to the design since the save read it, and none is in the
// middle of a transaction whose journal or log would be played into the new
// file.
void requireNoOtherWriter(const DesignSave::State& s) {
    const std::string leaf = FileName(s.target).getLeafName();
    const bool updating = guarded(kCannotSave, s.file, [&] {
        const std::string journal = s.folder.readStart(SqliteDesignStore::journalPath(leaf), 1);
        return (!journal.empty() && journal[0] != '\0') || s.folder.look(leaf + "-wal");
    });
    if (updating) {
        refuse(kCannotSave, s.file,
               translate("DesignSave", "another program is updating it in place; the design is left as it was."),
               DesignRefusal::Busy);
    }
    if (s.previous && guarded(kCannotSave, s.file, [&] { return s.previous->changeCounter(); }) != s.previousChanges) {
        refuse(kCannotSave, s.file,
               translate("DesignSave", "another program changed it while it was being saved; nothing was replaced."),
               DesignRefusal::Interfered);
    }
}

// Takes the lock of the file at `name` (the new version) without waiting;
// false when another program holds it.
bool lockNewVersion(DesignSave::State& s, const std::string& name) {
    FileLock::Options now;
    now.wait = std::chrono::milliseconds(0);
    try {
        s.successorLock.emplace(FileLock::acquire(name, now));
        return true;
    } catch (const FileBusyException&) {
        return false;
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
// under Wine at least): there the design as it was is closed first and the
// new version locked under the design's name right after the rename, and
// only a save that comes to the name in between is let in before this one
// has said it is done.
void DesignSave::putInPlace(State& s) {
    const bool replacesOpenFiles = openFilesMayBeReplaced();
    const std::string temporary = s.written.toNativeString();
    const auto temporaryReplaced = [&] {
        refuse(kCannotSave, s.file,
               substitute(translate("DesignSave",
                                    "another program replaced its temporary file %1; the design is left as it was."),
                          {quoted(temporary)}),
               DesignRefusal::Interfered);
    };
    if (!guarded(kCannotSave, s.file,
                 [&] { return s.temporary->unchanged() && (!replacesOpenFiles || lockNewVersion(s, temporary)); })) {
        temporaryReplaced();
    }
    requireNoOtherWriter(s);
    if (!replacesOpenFiles) {
        s.previous.reset();
    }
    Folder::Replaced replaced = Folder::Replaced::Done;
    try {
        replaced = s.folder.replace(s.written.getLeafName(), s.temporary->identity(), FileName(s.target).getLeafName(),
                                    s.lock.identity(), /*takeAccess=*/true);
    } catch (const FileNameException& e) {
        // Windows: a viewer, a scanner or a SQLite connection of another
        // program that has the design open without sharing deletion.
        if (isHeldOpen(s.target)) {
            refuse(kCannotSave, s.file,
                   translate("DesignSave", "another program has it open and keeps it from being replaced; the "
                                           "design is left as it was."),
                   DesignRefusal::Busy);
        }
        refuse(kCannotSave, s.file,
               substitute(translate("DesignSave",
                                    "its new version cannot be put in place (%1); the design is left as it was."),
                          {e.what()}),
               DesignRefusal::Failed);
    }
    if (replaced == Folder::Replaced::SourceChanged) {
        temporaryReplaced();
    }
    if (replaced == Folder::Replaced::TargetChanged) {
        refuseMoved(s);
    }
    s.temporary->release();
    s.lock.keepFile();
    s.previous.reset();
    if (!replacesOpenFiles) {
        // Done: a lock that cannot be taken now only lets a save in early.
        try {
            (void)lockNewVersion(s, s.target);
        } catch (const FileNameException&) {
        }
    }
}

FileName writeAutosaveCopy(const std::string& file, const DesignSaveOptions& options) {
    const std::string target = saveTarget(file, kCannotCopy);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    const FileName temporary = temporaryName(copy);
    // A copy is made by whoever may save the design, under its lock.
    if (FileUtilities::isReadOnly(target)) {
        refuse(kCannotCopy, file,
               translate("DesignSave", "this user may read it but not write it, and only one who may save a design "
                                       "writes its autosave copy."),
               DesignRefusal::ReadOnly);
    }
    const Folder folder = holdFolder(kCannotCopy, file, copy);
    const FileLock lock = lockDesign(kCannotCopy, file, target, /*create=*/false, options);
    const OpenedDesign opened = *open(kCannotCopy, file, target, /*emptyIsNew=*/false);
    opened.requireReadable(file);
    const std::optional<FileFacts> previous =
        guarded(kCannotCopy, file, [&] { return folder.look(copy.getLeafName()); });
    if (previous && previous->kind == FileFacts::Kind::Link) {
        refuse(kCannotCopy, file,
               substitute(translate("DesignSave", "%1 is a symbolic link."), {quoted(copy.toNativeString())}),
               DesignRefusal::Interfered);
    }
    guarded(kCannotCopy, file, [&] {
        // Left by an autosave that did not finish; a link there is removed,
        // never followed.
        (void)folder.remove(temporary.getLeafName());
        const FileName written(folder.pathOf(temporary.getLeafName()));
        NewFile made = NewFile::create(written, FileName(target));
        opened.store->copyTo(written.toNativeString());
        step(options, "copied");
        // The copy keeps the design's access, given as it was made; what was
        // at the copy's name (an older copy, or a link planted meanwhile)
        // is replaced, not followed.
        if (folder.replace(temporary.getLeafName(), made.identity(), copy.getLeafName(), std::nullopt,
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

bool removeAutosaveCopy(const std::string& file, const DesignSaveOptions& options) {
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    // A design that is gone has no lock to take, and no autosave to keep out.
    std::optional<FileLock> lock;
    try {
        lock.emplace(lockDesign(kCannotDeleteCopy, file, file, /*create=*/false, options));
    } catch (const DesignRefusedException& e) {
        if (e.reason() != DesignRefusal::Failed || FileUtilities::exists(file, true)) {
            throw;
        }
    }
    try {
        return Folder::holding(copy).remove(copy.getLeafName());
    } catch (const FileNameException& e) {
        if (isAbsent(e.code())) {
            return false; // no folder, no copy
        }
        throw DesignRefusedException(substitute(translate("DesignSave", "cannot delete %1: %2"),
                                                {quoted(copy.toNativeString()),
                                                 (e.code() ? describe(e.code()) : std::string(e.what())) + "."}),
                                     DesignRefusal::Failed);
    }
}

} // namespace Zorvan
