#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/NewFile.h"
#include "FileLock/FileLock.h"
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

namespace fs = std::filesystem;

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

// Raises the refusal `cannot` (one of the sentences above) of `file`;
// `why` is in the user's language already.
[[noreturn]] void refuse(const char* cannot, const std::string& file, const std::string& why, DesignRefusal reason) {
    throw DesignRefusedException(substitute(translate("DesignSave", cannot), {quoted(file), why}), reason);
}

// The reason of a failure below the road (the store, the file service),
// which gives it in English.
std::string failure(const std::exception& e) { return std::string(e.what()) + "."; }

// The longest suffix a save adds to a design's leaf name: "part.zvd-journal"
// for an update in place, "part.bak.tmp.zvd" for the temporary autosave copy.
constexpr std::size_t kLongestSuffix = 8;

// The file a save of `file` writes: the file itself, or the file a link at
// that name finally points to. Refuses, before anything is written, a link
// to nothing, anything but a regular file, and a name too long for the
// files the save puts beside it.
std::string saveTarget(const std::string& file, const char* cannot) {
    std::error_code error;
    std::string target = file;
    if (fs::is_symlink(file, error)) {
        const fs::path resolved = fs::canonical(file, error);
        if (error) {
            refuse(cannot, file, translate("DesignSave", "it is a symbolic link to a file that does not exist."),
                   DesignRefusal::Missing);
        }
        target = resolved.string();
    }
    const fs::file_status status = fs::status(target, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        refuse(cannot, file, translate("DesignSave", "it is not a regular file."), DesignRefusal::NotRegularFile);
    }
    const std::size_t limit = maxLeafNameLength(target);
    if (FileName(target).getLeafName().size() + kLongestSuffix > limit) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "its name is too long; this folder takes names of up to %1 "
                                                  "bytes, and a design's name may have at most %2 to leave room "
                                                  "for its temporary files."),
                          {std::to_string(limit), std::to_string(limit - kLongestSuffix)}),
               DesignRefusal::NameTooLong);
    }
    return target;
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

// Opens `file` for reading; nullopt for an empty file when `emptyIsNew`.
std::optional<OpenedDesign> open(const std::string& file, bool emptyIsNew) {
    OpenedDesign opened;
    try {
        opened.store = SqliteDesignStore::openForReading(file);
    } catch (const DesignStoreBusyException&) {
        refuse(kCannotOpen, file, translate("DesignSave", "another program is writing it; try again when it is done."),
               DesignRefusal::Busy);
    } catch (const DesignStoreException& e) {
        std::error_code error;
        if (!fs::exists(file, error)) {
            refuse(kCannotOpen, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing);
        }
        refuse(kCannotOpen, file, failure(e), DesignRefusal::NotADesign);
    }
    if (opened.store->isEmpty()) {
        if (emptyIsNew) {
            return std::nullopt;
        }
        refuse(kCannotOpen, file, translate("DesignSave", "it holds no design yet (its first save did not finish)."),
               DesignRefusal::NoDesignYet);
    }
    const ZvFileIO io;
    try {
        opened.readable = io.verifyZVVersion(opened.store, nullptr);
        opened.current = opened.readable && io.isCurrentZVVersion(opened.store);
    } catch (const FileOpenException& e) {
        refuse(kCannotOpen, file, e.what(), DesignRefusal::NotADesign);
    }
    opened.store->readFileVersion(opened.version);
    opened.store->readCreatedRevision(opened.createdRevision);
    opened.store->readLastSavedRevision(opened.lastSavedRevision);
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

// Runs `action`, turning a failure of the store or the disk into a refusal
// that names the file.
template <class Action>
auto guarded(const char* cannot, const std::string& file, Action&& action) {
    try {
        return action();
    } catch (const DesignStoreBusyException&) {
        refuse(cannot, file, translate("DesignSave", "another program is writing it; try again when it is done."),
               DesignRefusal::Busy);
    } catch (const DesignStoreException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    } catch (const FileNameException& e) {
        refuse(cannot, file, failure(e), DesignRefusal::Failed);
    }
}

} // namespace

OpenedDesign openDesign(const std::string& file) { return *open(file, /*emptyIsNew=*/false); }

// Declared in the order of taking: destroyed in reverse, so the store is
// closed before its temporary file is removed, and every handle on the
// design before the lock is let go (closing the lock's descriptor earlier
// would drop SQLite's locks on the design).
struct DesignSave::State {
    State(std::string fileName, std::string targetName, const DesignSaveOptions& saveOptions, FileLock designLock)
        : file(std::move(fileName)),
          target(std::move(targetName)),
          options(saveOptions),
          lock(std::move(designLock)),
          written(target) {}

    std::string file;
    std::string target;
    DesignSaveOptions options;
    FileLock lock;
    // The new version's own lock, taken before it is renamed into place.
    std::optional<FileLock> successorLock;
    // The design as it was, open for reading during a rewrite.
    std::shared_ptr<SqliteDesignStore> previous;
    bool isNew = true;
    std::string createdRevision;
    FileName written;
    std::optional<NewFile> temporary;
    std::shared_ptr<SqliteDesignStore> store;

    // Where the design as it was is read: beside a rewrite, or through the
    // store an update in place writes.
    const SqliteDesignStore& before() const { return previous ? *previous : *store; }
};

DesignSave DesignSave::begin(const std::string& file, const DesignSaveOptions& options) {
    const ZvFileWriteMode mode = options.mode;
    const std::string target = saveTarget(file, kCannotSave);
    std::string reason;
    if (!ZvFileIO::checkSavePossible(target, mode, &reason)) {
        const FileName name(target);
        refuse(kCannotSave, file, reason,
               name.getLeafName() == name.getExtension() ? DesignRefusal::NoName : DesignRefusal::ReadOnly);
    }
    if (mode != ZvFileWriteMode::Overwrite && !FileUtilities::exists(target, false)) {
        refuse(kCannotUpdate, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing);
    }
    auto state = std::make_unique<State>(
        file, target, options, lockDesign(kCannotSave, file, target, mode == ZvFileWriteMode::Overwrite, options));
    if (!state->lock.createdFile()) {
        if (const std::optional<OpenedDesign> opened = open(target, /*emptyIsNew=*/true)) {
            opened->requireReadable(file);
            ZvFileIO::logFileVersionInfo(target, opened->store);
            ZvFileIO::readMaxIdentifierValue(opened->store);
            // A rewrite keeps the revision the design was created with.
            state->createdRevision = opened->createdRevision;
            state->isNew = false;
            // A rewrite reads the design as it was while it writes the new
            // version beside it. An update in place reads it through the
            // store it writes: a second connection's read lock would keep
            // that store from ever committing.
            if (mode == ZvFileWriteMode::Overwrite) {
                state->previous = opened->store;
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
        state->written = ZvFileIO::prepareFileName(target, mode);
        if (state->written != FileName(target)) {
            state->temporary.emplace(NewFile::create(state->written, target));
        }
        step(options, "prepared");
        const std::string written = state->written.toNativeString();
        state->store = state->temporary ? SqliteDesignStore::openForReplacement(written)
                                        : SqliteDesignStore::openForWriting(written);
        return 0;
    });
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
    guarded(kCannotSave, m_state->file, [&] {
        m_state->before().forEachObject(visit, SqliteDesignStore::Fields::IdentityAndType);
        return 0;
    });
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
    return DesignIOModule(m_state->store, m_state->options.mode, doAction);
}

void DesignSave::createGroup() {
    if (!m_state->store) {
        throw std::logic_error("DesignSave::createGroup called after commit()");
    }
    guarded(kCannotSave, m_state->file, [&] {
        ZvFileIO().createGroup(m_state->store);
        return 0;
    });
}

SaveResult DesignSave::commit(const std::string& dataRevision, std::int32_t dataRevisionNumber) {
    State& s = *m_state;
    if (!s.store) {
        throw std::logic_error("DesignSave::commit called twice");
    }
    const ZvFileWriteMode mode = s.options.mode;
    SaveResult result;
    guarded(kCannotSave, s.file, [&] {
        result.revision = ZvFileIO::writeMetaData(s.store, dataRevision, dataRevisionNumber, mode, s.createdRevision);
        s.store->commit();
        // Closed now, also while the host still holds design modules: the
        // file it wrote must be closed before it is put in place.
        s.store->close();
        s.store.reset();
        s.previous.reset();
        return 0;
    });
    step(s.options, "committed");
    // The design's lock holds the file that is at its name now; after the
    // rename the name holds the new version, which a save that comes to it
    // then would find unlocked and take at once, while this one has not
    // yet said it is done. The new version is locked first, so that save
    // waits for this one to end as one that came earlier does. Windows
    // cannot put a file in place while another handle has it open
    // (ReplaceFileW opens it sharing nothing, under Wine at least): there
    // it is locked under the design's name right after the rename, and only
    // a save that comes to the name in between is let in before this one
    // has said it is done.
    const auto lockNewVersion = [&](const std::string& name) {
        FileLock::Options now;
        now.wait = std::chrono::milliseconds(0);
        try {
            s.successorLock.emplace(FileLock::acquire(name, now));
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
#ifdef _WIN32
    constexpr bool lockBeforeRename = false;
#else
    constexpr bool lockBeforeRename = true;
#endif
    if (s.temporary &&
        !(s.temporary->unchanged() && (!lockBeforeRename || lockNewVersion(s.written.toNativeString())))) {
        refuse(kCannotSave, s.file,
               substitute(translate("DesignSave",
                                    "another program replaced its temporary file %1; the design is left as it was."),
                          {quoted(s.written.toNativeString())}),
               DesignRefusal::Interfered);
    }
    // The lock keeps every DesignSave out; a program that updates designs
    // without it may still be in the middle of one, and its journal would be
    // rolled into a new file renamed in under it.
    if (s.temporary && FileUtilities::exists(SqliteDesignStore::journalPath(s.target), false)) {
        refuse(kCannotSave, s.file,
               translate("DesignSave", "another program is updating it in place; the design is left as it was."),
               DesignRefusal::Busy);
    }
    if (!ZvFileIO::restoreFileName(s.target, s.written, mode)) {
        // Windows: a viewer, a scanner or a SQLite connection of another
        // program that has the design open without sharing deletion.
        if (isHeldOpen(s.target)) {
            refuse(kCannotSave, s.file,
                   translate("DesignSave", "another program has it open and keeps it from being replaced; the "
                                           "design is left as it was."),
                   DesignRefusal::Busy);
        }
        refuse(kCannotSave, s.file,
               translate("DesignSave", "its new version cannot be put in place; the design is left as it was."),
               DesignRefusal::Failed);
    }
    if (s.temporary && !lockBeforeRename) {
        (void)lockNewVersion(s.target);
    }
    return result;
}

namespace {

// Puts a finished autosave copy in place of the previous one. A replacement
// takes the access of the file it replaces, but a copy must carry the
// design's: a previous copy with other permission bits (made by an older
// release), or one this process may not replace with a file of the
// design's owner (made by another user), is removed first. The new copy is
// complete by then.
bool replaceCopy(const FileName& temporary, const FileName& copy, const std::string& design) {
    std::error_code error;
    const fs::file_status previous = fs::symlink_status(copy.toNativeString(), error);
    if (fs::exists(previous) && previous.permissions() != fs::status(design, error).permissions()) {
        FileUtilities::remove(copy);
    }
    if (FileUtilities::replaceFile(temporary, copy)) {
        return true;
    }
    if (!FileUtilities::exists(copy, false)) {
        return false;
    }
    FileUtilities::remove(copy);
    return FileUtilities::replaceFile(temporary, copy);
}

} // namespace

FileName writeAutosaveCopy(const std::string& file, const DesignSaveOptions& options) {
    const std::string target = saveTarget(file, kCannotCopy);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    FileName temporary = copy;
    temporary.replaceExtension(".tmp" + copy.getExtension());
    const FileLock lock = lockDesign(kCannotCopy, file, target, /*create=*/false, options);
    const OpenedDesign opened = openDesign(target);
    opened.requireReadable(file);
    std::error_code error;
    if (fs::is_symlink(copy.toNativeString(), error)) {
        refuse(kCannotCopy, file,
               substitute(translate("DesignSave", "%1 is a symbolic link."), {quoted(copy.toNativeString())}),
               DesignRefusal::Interfered);
    }
    guarded(kCannotCopy, file, [&] {
        if (FileUtilities::exists(temporary, false)) {
            FileUtilities::remove(temporary); // left by an autosave that did not finish
        }
        NewFile written = NewFile::create(temporary, target);
        opened.store->copyTo(temporary.toNativeString());
        step(options, "copied");
        if (!written.unchanged() || !replaceCopy(temporary, copy, target)) {
            throw DesignRefusedException(
                substitute(translate("DesignSave", "cannot put the autosave copy of %1 in place; the previous copy "
                                                   "is kept."),
                           {quoted(file)}),
                DesignRefusal::Failed);
        }
        return 0;
    });
    return copy;
}

} // namespace Zorvan
