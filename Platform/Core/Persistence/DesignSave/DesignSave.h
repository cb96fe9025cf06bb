#pragma once
/// @file
/// The save API: opening, saving and autosaving a design file, on one road.
/// An editor runs its session through EditSession (EditSession.h), which
/// holds the design for one editor, saves what it opened and autosaves what
/// it has not saved; a program that only shows a design opens it with
/// openDesign; a tool saves one by name (DesignSave::begin, one DesignPart
/// per part of the design, commit), recovers a crashed session's autosave
/// copy (DesignSave::recoverAutosave) or removes it (removeAutosaveCopy).
/// examples/save_design/editor_session.cpp is an editor's session.
///
/// @code
/// Zorvan::DesignSave save = Zorvan::DesignSave::begin("pump.zvd", {});
/// Zorvan::DesignPart pipes = save.part();             // one per part of the design
/// pipes.save(pipe);                                    // identities from Identifier::create()
/// pipes.remove(oldPipe);                               // updates in place remove too
/// const Zorvan::SaveResult result = save.commit("valve fix", 3);
/// @endcode
///
/// begin() resolves the links at the name once, holds the design's folder,
/// takes the design's one-writer lock, checks the target and what lies
/// beside it, opens the design as it is (its version must be readable and
/// not newer; the version line is logged, the identifier counter handed to
/// the identifier service and every stored identity reserved, all read
/// under one read lock) and opens the store the new version is written
/// through: a temporary file beside the design for a rewrite and for a
/// first save, the design itself for an update in place. commit() writes
/// the metadata, commits the store and puts the new version in place,
/// renamed within the folder held since begin() once the name still holds
/// the design that was read and no other program changed it; the save is
/// done, on disk, when it returns. A DesignSave dropped or cancelled
/// without commit(), or left by an exception, leaves the design exactly as
/// it was and removes what it created.
///
/// One error model: every refusal and failure of the road raises
/// DesignRefusedException, with one sentence for the user naming the file
/// (never a temporary file, never a query), a reason a host can act on and
/// the cause underneath as a std::error_code. Misuse of an object (a call
/// after commit() or cancel(), on an object moved from) raises
/// std::logic_error.
///
/// Names are UTF-8 text on every system: a design's path, the files a
/// result names and the sentences of a refusal. On Windows the road turns
/// them into the system's UTF-16 where it calls the system, so any name
/// Windows allows works, "Entwürfe\\泵站.zvd" included; a host that holds
/// UTF-16 names (a wide main(), a file dialog) converts each with
/// utf8FromWide (FileHandling/WideText.h), never through the 8-bit code
/// page, which cannot hold most names.
///
/// The library's fixed calls (ZvFileIO, DesignIOModule) are the primitives
/// this road is built from. Called directly they take no lock and check
/// nothing beside the design: only the road makes them safe.
///
/// Thread-safety: one thread at a time per object. Two saves of one design
/// exclude each other, in one process or in many; an autosave may run on a
/// thread of its own while the host edits and saves (see EditSession).

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "Exceptions/ZvException.h"
#include "FileHandling/Env.h"
#include "FileHandling/FileName.h"
#include "FileHandling/WideText.h"
#include "Platform/Core/Persistence/DesignSave/DesignSaveExport.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/SqliteDesignStore.h"

namespace Zorvan {

struct EditSessionState;

/// Why a design could not be opened or saved. One condition has one reason
/// on every road (opening to read or to edit, each save mode, an autosave,
/// a recovery): a folder at the name is NotRegularFile whether it is opened
/// or saved, a permission this user lacks is ReadOnly whichever file or
/// folder it is on. The values keep their order: new ones come last.
enum class DesignRefusal {
    NoName,         ///< the name names no file (".zvd")
    ReadOnly,       ///< this user may not do to the file what the road needs: write it (a save, an autosave,
                    ///< opening it to edit), read it, or read, enter or write its folder; the cause is the
                    ///< denial (permission_denied, operation_not_permitted, read_only_file_system)
    NotRegularFile, ///< a FIFO, device or folder is at the name
    NameTooLong,    ///< no room for the names of the save's own files
    Missing,        ///< nothing to open, update in place or copy
    NoDesignYet,    ///< an empty file: a first save that did not finish
    NotADesign,     ///< the file's version cannot be read
    Newer,          ///< written by a newer version of the software
    Busy,           ///< another program, or another save or autosave of this one, is saving or writing it
    Interfered,     ///< another program replaced or changed the design or the save's files meanwhile
    ForeignFile,    ///< a file beside it that this software did not write (another
                    ///< program's log, another user's journal or link, a FIFO at a
                    ///< journal's name) would change it
    Failed,         ///< the disk or the store failed; the design is as it was
    Claimed,        ///< another editor has it open for editing (the sentence says who and since
                    ///< when); it can be opened to read
    UnusableName,   ///< the system would not take the name as a file's (Windows: a device such as
                    ///< CON or COM1, a stream, a character names may not hold); nothing was touched
    Damaged,        ///< the design is damaged: a page does not hold what was written to it, the file is
                    ///< cut short, its pages contradict each other (SQLite's corruption, two objects of
                    ///< one identity); the file is left as it is, and what can be read of it can be salvaged
};

/// The reason's name as the enumerator is written: "Busy", "ReadOnly", ...
/// ("" for a value this software does not know), for logs and for tools
/// that report a refusal to other programs.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT std::string_view to_string(DesignRefusal reason) noexcept;

/// Everything the road raises when it cannot do what it was asked. what()
/// is one sentence for the user that names the user's file, e.g. "cannot
/// save 'a.zvd': another program is saving it; try again when it is done."
class PERSISTENCE_DESIGNSAVE_EXPORT DesignRefusedException : public ZvException {
public:
    /// An empty `cause` (or a cause whose value is 0) is none: nothing failed underneath.
    DesignRefusedException(const std::string& message, DesignRefusal reason,
                           std::optional<std::error_code> cause = std::nullopt,
                           std::source_location location = std::source_location::current());
    DesignRefusedException(const DesignRefusedException& other);
    DesignRefusedException& operator=(const DesignRefusedException& other);
    ~DesignRefusedException() override;

    [[nodiscard]] DesignRefusal reason() const noexcept { return m_reason; }
    /// What failed underneath, as data: the system's error (a full disk, a
    /// denied permission; test it with means(cause(), std::errc::...)), or
    /// SQLite's extended result code in designStoreCategory(). The road's
    /// own findings carry the portable condition closest to them (Missing:
    /// no_such_file_or_directory, ReadOnly: permission_denied, Busy:
    /// device_or_resource_busy, NameTooLong: filename_too_long, NoName,
    /// NotRegularFile and UnusableName: invalid_argument). Absent, never an error code of
    /// value 0, when nothing failed and the file itself is the reason
    /// (Newer, NoDesignYet, Interfered, ForeignFile, a version that cannot
    /// be read).
    [[nodiscard]] const std::optional<std::error_code>& cause() const noexcept { return m_cause; }

private:
    DesignRefusal m_reason;
    std::optional<std::error_code> m_cause;
};

/// True when `cause` is there and is the portable condition `condition`:
/// means(e.cause(), std::errc::no_space_on_device).
inline bool means(const std::optional<std::error_code>& cause, std::errc condition) {
    return cause.has_value() && means(*cause, condition);
}

/// What a save calls, once, before it waits for another program that holds
/// the design: a callable taken with why it waits (a std::error_code), or
/// one taking nothing, as hosts written before the reason was given pass.
/// Empty by default; calling an empty note does nothing.
class WaitNote {
public:
    WaitNote() = default;
    template <std::invocable<std::error_code> Note>
        requires(!std::same_as<std::remove_cvref_t<Note>, WaitNote>)
    WaitNote(Note note) { // NOLINT(google-explicit-constructor): assigned as a callable is
        if (!isEmpty(note)) {
            m_note = std::move(note);
        }
    }
    template <std::invocable Note>
        requires(!std::invocable<Note, std::error_code>)
    WaitNote(Note note) { // NOLINT(google-explicit-constructor)
        if (!isEmpty(note)) {
            m_note = [note = std::move(note)](std::error_code) mutable { note(); };
        }
    }
    explicit operator bool() const { return static_cast<bool>(m_note); }
    void operator()(std::error_code why) const {
        if (m_note) {
            m_note(why);
        }
    }

private:
    // An empty std::function or a null function pointer notes nothing.
    template <class Note> static bool isEmpty(const Note& note) {
        if constexpr (std::is_pointer_v<Note>) {
            return note == nullptr;
        } else if constexpr (requires { note.target_type(); }) { // a std::function
            return !note;
        } else {
            return false;
        }
    }
    std::function<void(std::error_code)> m_note{};
};

/// How a save runs.
struct DesignSaveOptions {
    ZvFileWriteMode mode = ZvFileWriteMode::Overwrite;
    /// How long to wait for another program that is saving the same design.
    std::chrono::milliseconds lockWait{10000};
    /// Called once, before waiting, when another program holds the design,
    /// with why it waits: FileErrc::Busy while another save or autosave is
    /// writing it, FileErrc::HeldOpen while (Windows) another program has
    /// it open without letting others write it (a viewer, a scanner). Both
    /// compare equal to std::errc::device_or_resource_busy. A note taking
    /// nothing is taken too.
    WaitNote onWait{};
    /// Called as the save reaches each step ("locked", "prepared",
    /// "committed"; "copied" for writeAutosaveCopy): for progress and for
    /// tests that look at the files at that moment.
    std::function<void(std::string_view step)> onStep{};
    /// A save of an EditSession: replace the design even when another
    /// program changed it since the session opened or saved it (the user
    /// chose to keep this version).
    bool overwriteChanges = false;
};

/// What a committed save reports.
struct SaveResult {
    /// The source revision of the software that saved it, as recorded in the file.
    std::string revision;
    /// The file that holds the new version: the design, or its autosave copy.
    std::string file;
};

/// What DesignSave::recoverAutosave saved.
struct RecoveredCopy {
    /// The save of the design.
    SaveResult saved;
    /// The copy it was recovered from (removed now).
    std::string copy;
    /// How many objects the copy held, and the design now holds.
    std::int64_t objectCount = 0;
};

/// What a host opens a design for.
enum class DesignIntent {
    Read, ///< to show it
    Edit, ///< to change and save it: this user must be able to save it
};

/// How openDesign opens a design.
struct DesignOpenOptions {
    DesignIntent intent = DesignIntent::Read;
    /// Open a design of a newer version to show what it is (its metadata;
    /// readable false), instead of refusing it. Never for editing.
    bool lookAtNewer = false;
};

/// A design opened as every host should: the store bound to the file and
/// what the design says of itself, read under one read lock. The store
/// keeps reading the design in that read transaction (see
/// SqliteDesignStore::openForReading): drop it, or call store->endRead(),
/// once done reading. A save of the same design by this process ends that
/// read transaction, and on Windows, where an open file cannot be replaced,
/// a rewrite closes the store (reading through it then raises).
struct PERSISTENCE_DESIGNSAVE_EXPORT OpenedDesign {
    /// Raises DesignRefusedException (DesignRefusal::Newer) naming the file
    /// when the running software cannot read the design.
    void requireReadable() const;
    /// Calls `visit` with every object of the design, payloads included, in
    /// identity order until it returns false. A failure of the store raises
    /// DesignRefusedException naming the file.
    void forEachObject(const SqliteDesignStore::ObjectVisitor& visit) const;

    /// The file as the host named it.
    std::string file;
    std::shared_ptr<SqliteDesignStore> store;
    /// The running software can read it (false: newer than the software).
    bool readable = false;
    /// It is of the version the running software writes.
    bool current = false;
    std::int32_t version = -1;
    std::string createdRevision;
    std::string lastSavedRevision;
    /// The data revision the last save recorded, and its number.
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    /// The identifier the design hands out next: (0, 0) when it records none.
    std::int64_t nextIdentifier = 0;
    std::int16_t identifierDomain = 0;
    /// How many objects it holds (0 for a design this software cannot read).
    std::int64_t objectCount = 0;
    /// "Opening file (version: 3 created with revision: r1 last saved with
    /// revision: r2)", the line the log receives at INFO as it is opened.
    std::string versionLine;
};

/// Opens `file` in one call: the version checked and its line logged at
/// INFO, the metadata, the identifier counter and the object count read
/// under one read lock. A readable design hands its identifier counter to
/// the identifier service and reserves every identity it holds, so that
/// objects a host adds get new ones. Raises DesignRefusedException for a
/// file that is missing, busy, empty or not a design, beside which lies a
/// file that would change it (see SqliteDesignStore::openForReading), of a
/// newer version (unless options.lookAtNewer, for reading), and, opened for
/// editing, that this user may not save.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT OpenedDesign openDesign(const std::string& file,
                                                                    const DesignOpenOptions& options = {});

/// One part of a design as a save writes it (the pipes, the valves, ...): a
/// handle on the new version that the save gives out with DesignSave::part.
/// Copies share the part; a part may be assigned another (of any save).
/// Misuse (any call once its save is committed, cancelled or dropped)
/// raises std::logic_error.
class PERSISTENCE_DESIGNSAVE_EXPORT DesignPart {
public:
    /// Stores `object` in the new version: a rewrite adds it; an update
    /// replaces the stored object of its identity, or adds it. A failure
    /// raises DesignRefusedException naming the design; an identity stored
    /// twice in a rewrite is refused as Failed.
    void save(const SerializationTransferObject& object);
    /// Removes the object of identity `identity` from the new version:
    /// updates in place remove what the host deleted; a rewrite holds only
    /// what it saved, so there it undoes a save of that identity, if any.
    /// True when an object was removed.
    bool remove(std::int64_t identity);
    /// Whether this save writes the part: always, but in an update of
    /// selected parts, where only the parts selected are written and the
    /// others' save() and remove() do nothing.
    [[nodiscard]] bool isWritten() const;

    /// What a part shares with its save (internal).
    struct Session;

private:
    friend class DesignSave;
    DesignPart(std::shared_ptr<Session> session, bool selected);
    PERSISTENCE_DESIGNSAVE_NO_EXPORT DesignIOModule module() const;
    std::shared_ptr<Session> m_session;
    bool m_selected;
};

class PERSISTENCE_DESIGNSAVE_EXPORT DesignSave {
public:
    /// Starts a save of `file` (links at the name are followed: the file
    /// they point to is saved, beside itself). Raises DesignRefusedException
    /// before anything is written when the save cannot be made; Busy at
    /// once, naming this program, when a save or autosave of the design this
    /// thread began has not ended. An autosave of the design running on
    /// another thread of this process gives way to the save at its next
    /// call, and the save begins once it has. REQUIRES: options.mode is one
    /// of ZvFileWriteMode's values; any other (static_cast<ZvFileWriteMode>(7))
    /// is misuse and raises std::invalid_argument naming it before any file
    /// is looked at.
    [[nodiscard]] static DesignSave begin(const std::string& file, const DesignSaveOptions& options);

    /// Recovers the autosave copy of `file` (part.bak.zvd beside it) when it
    /// holds what no save holds, in one call: under the design's lock it
    /// decides that the copy is newer (the design is still the file, with
    /// the changes, the copy records it was made from; or there is no design
    /// yet), saves what the copy holds as a rewrite (a copy records no
    /// deletions, so only a rewrite brings back what the user had), and
    /// removes the copy. nullopt, with nothing changed, when there is no
    /// newer copy. A copy is recovered only when this software wrote it as
    /// an autosave copy of this design, as this user or as the design's
    /// owner; any other is refused as ForeignFile, naming the file at the
    /// copy's name (and its owner). Refused as Claimed while an editor holds
    /// the design (EditSession::open recovers it for itself, and finds
    /// nothing to recover in a file that is not its copy).
    [[nodiscard]] static std::optional<RecoveredCopy> recoverAutosave(const std::string& file,
                                                                      const DesignSaveOptions& options);

    DesignSave(DesignSave&& other) noexcept;
    DesignSave& operator=(DesignSave&& other) noexcept;
    /// Without commit(): removes what the save created; the design stays as
    /// it was. After it: lets the design go.
    ~DesignSave();

    /// Calls `visit` with the identity and type of every object of the
    /// design as it was before this save (payloads are not read), in
    /// identity order, until it returns false; a new design has none. The
    /// walk holds a few hundred objects at a time, so a host rewrites a
    /// design of any size in little memory, and `visit` may save objects
    /// meanwhile (objects it adds with new identities from the identifier
    /// service are not visited).
    void forEachObject(const SqliteDesignStore::ObjectVisitor& visit) const;
    /// How many objects the design held before this save; 0 for a new
    /// design. Counting reads the whole design: ask before saving objects,
    /// and only when the number is needed.
    [[nodiscard]] std::int64_t objectCount() const;
    /// True when the design did not exist (or held nothing) before.
    [[nodiscard]] bool isNewDesign() const;
    /// The file the new version is written to: a temporary file beside the
    /// design, or the design itself for an update in place.
    [[nodiscard]] const FileName& writtenFile() const;

    /// A part of the design to save objects through. `selected` matters to
    /// an update of selected parts only: the parts not selected are left as
    /// they are.
    [[nodiscard]] DesignPart part(bool selected = true) const;
    /// Adds a group to the new version: the design numbers its groups in
    /// the order they are added and records how many it has.
    void createGroup();
    /// Writes the metadata, commits the store and puts the new version in
    /// place. Raises DesignRefusedException when it cannot (the design is
    /// then as it was). The design stays this save's until the object goes
    /// or cancel() is called, so that what the host reports of the save
    /// comes before any later save of the design.
    [[nodiscard]] SaveResult commit(const std::string& dataRevision, std::int32_t dataRevisionNumber);
    /// Ends the save now: without commit(), as dropping it does (the design
    /// stays as it was, what the save created is removed); after commit(),
    /// the design is let go. Parts raise std::logic_error from now on, and
    /// so does every call but cancel() itself.
    void cancel() noexcept;

    /// What a save holds (internal).
    struct State;

private:
    friend class EditSession;
    enum class Ended { No, Committed, Cancelled };
    PERSISTENCE_DESIGNSAVE_NO_EXPORT explicit DesignSave(std::unique_ptr<State> state);
    // A save, and a recovery, of `file`: of an editing session when
    // `editing` is given, else refused while an editor holds the design.
    PERSISTENCE_DESIGNSAVE_NO_EXPORT static DesignSave begin(const std::string& file, const DesignSaveOptions& options,
                                                             const std::shared_ptr<EditSessionState>& editing);
    PERSISTENCE_DESIGNSAVE_NO_EXPORT static std::optional<RecoveredCopy>
    recoverAutosave(const std::string& file, const DesignSaveOptions& options,
                    const std::shared_ptr<EditSessionState>& editing);
    // Starts writing the autosave copy of the session's design with the
    // host's objects of `saves` (its SaveToken): the copy's parts are
    // written as a rewrite's and put in place whole by commit(), under the
    // temporary name part.bak.tmp.zvd first; the design is neither read nor
    // written, and need not exist yet.
    PERSISTENCE_DESIGNSAVE_NO_EXPORT static DesignSave beginAutosave(const std::shared_ptr<EditSessionState>& editing,
                                                                     std::uint64_t saves,
                                                                     const DesignSaveOptions& options);
    // The save's state; std::logic_error once it was moved from, cancelled
    // or, for a call that `writing` needs the store, committed.
    PERSISTENCE_DESIGNSAVE_NO_EXPORT State& live(const char* call, bool writing = true) const;
    PERSISTENCE_DESIGNSAVE_NO_EXPORT static void putInPlace(State& s);
    std::unique_ptr<State> m_state;
    Ended m_ended = Ended::No;
};

/// Writes the autosave copy of `file` as the design is on disk, under the
/// design's one-writer lock: a complete copy under a temporary name that
/// then replaces the previous copy, with the design's access. Returns the
/// copy's name. The copy records the design it is of, as never newer than
/// it. Refused as Claimed while an editor holds the design: an editor
/// writes its unsaved changes with EditSession::autosave. Like every
/// autosave, refused as ForeignFile when a file at the copy's name is not
/// an autosave copy of this design (a design of its own, another design's
/// copy), and as ReadOnly for a copy the system keeps from being replaced
/// (Windows: its read-only attribute).
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT FileName writeAutosaveCopy(const std::string& file,
                                                                       const DesignSaveOptions& options);

/// The autosave copy of `file` when it holds what no save of it holds: no
/// save, of this program or another, changed the design since the copy was
/// written (the copy records which file the design was and its change
/// counter then), or the design was never saved (there is no file, or the
/// empty one a first save cut short leaves). nullopt when there is no such
/// copy (a copy writeAutosaveCopy made is never newer, and a file at the
/// copy's name that is not this design's copy is none). What it says may
/// change at once: recover with DesignSave::recoverAutosave, which decides
/// again under the design's lock.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT std::optional<FileName> newerAutosaveCopy(const std::string& file);

/// Removes the autosave copy of `file` under the design's one-writer lock,
/// waiting for a save or autosave of another program as `options` say (an
/// autosave of this one gives way), so that it never races an autosave (a
/// design that is gone has no lock to take). Handles this process opened on
/// the copy are closed first. True when this call removed the copy, which is
/// then gone from the disk; false when there was none, also when another
/// program removed it first. Refused as Claimed while an editor holds the
/// design (its copy is the editor's; EditSession::close removes it), as
/// ForeignFile when the file at the copy's name is not an autosave copy of
/// this design, and as ReadOnly for a copy the system keeps from being
/// removed (Windows: its read-only attribute).
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT bool removeAutosaveCopy(const std::string& file,
                                                                    const DesignSaveOptions& options);

} // namespace Zorvan
