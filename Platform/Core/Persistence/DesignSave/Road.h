#pragma once
// What the roads of the save API share (internal, not installed): the
// sentences a refusal is made of, the checks every road makes before it
// writes, the guard that turns a failure below the road into a refusal
// naming the user's file, what this process has under way on each design,
// and the state of a save.

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "FileHandling/FileNameException.h"
#include "FileHandling/Folder.h"
#include "FileHandling/NewFile.h"
#include "FileLock/EditClaim.h"
#include "FileLock/FileLock.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/DesignSave/EditSession.h"

namespace Zorvan::road {

// What could not be done to a design: each a sentence with the file's name
// (%1) and the reason (%2), so that a language can order them its own way.
extern const char* const kCannotSave;
extern const char* const kCannotOpen;
extern const char* const kCannotCopy;
extern const char* const kCannotUpdate;
extern const char* const kCannotDeleteCopy;
extern const char* const kCannotOpenCopy;
extern const char* const kCannotLookForCopy;
extern const char* const kCannotRecover;

std::string quoted(const std::string& file);
// The reason of a road refused because this process runs another on the design.
std::string thisProgram();
// A sentence of the user's language: translated whole, values put in after.
std::string translate(const char* context, const char* sourceText);

// Raises the refusal `cannot` (one of the sentences above) of `file`; `why`
// is in the user's language already, `cause` what failed underneath.
[[noreturn]] void refuse(const char* cannot, const std::string& file, const std::string& why, DesignRefusal reason,
                         std::optional<std::error_code> cause = std::nullopt);

// Whether the system failed the file of `code` (the disk, the memory, a
// permission), not the store on what the file holds.
bool bySystem(const std::error_code& code);
// Raises the refusal `cannot` of `file` for the failure `e` below the road:
// its code and the role of its file make the sentence and the reason; a
// failure of the store on what the file holds counts as `otherwise`.
[[noreturn]] void refuseFailure(const char* cannot, const std::string& file, const FileError& e,
                                DesignRefusal otherwise = DesignRefusal::Failed);
// Raises the refusal `cannot` of `file` for the file service's failure `e`:
// which of the save's files the system failed or refused this user (the
// design, its folder, or one the save keeps beside it, which the user never
// named) and the system's reason; ReadOnly for a refusal, else Failed.
[[noreturn]] void refuseFailure(const char* cannot, const std::string& file, const FileNameException& e);

// The name every road of `file` works with, says and derives its files'
// names from: `file` as the system takes it (nativeName). Refuses, before
// anything is looked at, a name the system would not take as a file's.
std::string usableName(const char* cannot, const std::string& file);

// The file a save of `file` writes: the file itself, or the file the links
// at that name lead to, followed once, here, as the kernel would follow
// them. Refuses, before anything is written, links that lead nowhere or
// that the kernel would not follow, anything but a regular file, and a name
// too long for the files the save puts beside it.
// Its folder is held from then on: every later step acts in it.
struct SaveTarget {
    std::string path; // for the library's checks and for messages
    Site site;        // no folder: the folder does not exist
};
SaveTarget saveTarget(const std::string& file, const char* cannot);
// The folder a save's files are made in, held from now on (`held` when the
// caller holds it already). Refuses one this user may not create files in.
std::shared_ptr<const Folder> holdFolder(const char* cannot, const std::string& file, const FileName& inside,
                                         std::shared_ptr<const Folder> held = nullptr);
// Refuses a save of `file` (the resolved `target`) the library would not
// write: no name, or read-only.
void requireSavePossible(const char* cannot, const std::string& file, const std::string& target);
void requireSavePossible(const char* cannot, const std::string& file, const SaveTarget& target);

void step(const DesignSaveOptions& options, std::string_view name);

// Whether the design's name `target` holds a file, and which. While another
// save's temporary file is beside it, an empty name is looked at again for
// FileLock::replaceGap(): a replace on Windows empties the name for a moment.
bool designAt(const Site& target, FileIdentity& there);
// The design's place as saveTarget resolved it, its folder held now when
// there was none then.
Site designSite(const char* cannot, const std::string& file, const SaveTarget& target);

// Takes the design's one-writer lock, waiting options.lockWait; the caller
// reports the step "locked" once it has noted the save as under way. `create`: a
// first save (or an autosave of a design never saved) locks the name it
// is about to fill with an empty file.
FileLock lockDesign(const char* cannot, const std::string& file, const Site& target, bool create,
                    const DesignSaveOptions& options);

// Runs `action`, turning a failure of the store or the file service into a
// refusal that names the file.
template <class Action>
auto guarded(const char* cannot, const std::string& file, Action&& action) {
    try {
        return action();
    } catch (const FileError& e) {
        refuseFailure(cannot, file, e);
    } catch (const FileNameException& e) {
        refuseFailure(cannot, file, e);
    }
}

// Opens the design at `path` for reading, with what it says of itself (the
// metadata, the counter and the object count when `full`); nullopt for an
// empty file when `emptyIsNew`. A refusal is the sentence `cannot` naming
// `file`.
// A save that holds the design's folder passes it as `held`, which is then
// opened instead of `path`; with `keepWritersOut` (a rewrite) the design's
// other SQLite writers are kept out while the store is open.
std::optional<OpenedDesign> open(const char* cannot, const std::string& file, const std::string& path,
                                 bool emptyIsNew, bool full, const Site* held = nullptr, bool keepWritersOut = false);
// Opens the design at `path` for a host, as openDesign says.
OpenedDesign openForHost(const char* cannot, const std::string& file, const std::string& path,
                         const DesignOpenOptions& options);

// The design at `target` as an autosave copy records it: the file and its
// change counter (0 for a file that holds no design yet).
AutosaveOrigin originOf(const FileIdentity& design, const Site& target);
// Whether two states of a design are the same: no design in either, or the
// same file with the same changes.
bool sameState(const AutosaveOrigin& a, const AutosaveOrigin& b);

// What is at the autosave copy's name of a design, as a road that would
// replace or remove it finds it.
struct AtCopyName {
    std::optional<FileFacts> facts; // nullopt: nothing
    // A regular file that is not an autosave copy of the design: one that
    // holds no design, a design that records no origin, another design's
    // copy. No road replaces or removes it.
    bool foreign = false;
    // The design's copy, which the system keeps from being replaced or
    // removed (the read-only attribute on Windows).
    bool readOnly = false;
};
// Looks at the file at `copy`, the autosave copy's name of the design at
// `design` (a null folder: one that does not exist). An empty file (a first
// autosave cut short), a link and anything but a regular file are no one's
// copy: each road treats those as it always did. A copy is the design's
// when the origin it records names the design by its file (as it was then,
// until a save gives the design another) or by its leaf name, compared as
// the system compares names. An origin that names no leaf, written before
// origins named their design, counts as the design's: that autosave wrote
// it only at the name made from its design's, so only a file moved there by
// hand could be another's, while refusing it would leave every copy from
// before an update in the way of the design's autosaves.
// Throws FileError or FileNameException when the system fails the look.
AtCopyName lookAtCopy(const Site& copy, const Site& design);
// Refuses a road of `file` that would replace or remove what `at` found at
// the copy's name `copyName`: a foreign file (ForeignFile), a read-only copy
// (ReadOnly).
void requireReplaceable(const char* cannot, const std::string& file, const std::string& copyName,
                        const AtCopyName& at);
// lookAtCopy, then requireReplaceable; a failure is refused as `cannot`.
AtCopyName requireReplaceableCopy(const char* cannot, const std::string& file, const std::string& copyName,
                                  const Site& copy, const Site& design);
// The identity a replace of the copy's name expects there: that of the
// regular file the look found, nothing otherwise.
std::optional<FileIdentity> expectedAt(const AtCopyName& at);

// Refuses, as Claimed, a road of `file` while an editor holds the design at
// `design` (an EditSession, of this process or another).
void requireUnclaimed(const char* cannot, const std::string& file, const Site& design);
[[noreturn]] void refuseClaimed(const char* cannot, const std::string& file, const EditorRecord& holder);
// Refuses a save or autosave of an editing session whose design changed
// since the session opened or saved it.
[[noreturn]] void refuseChangedSinceOpened(const char* cannot, const std::string& file);
// Refuses an autosave whose copy could not be put in place because another
// program changed the copy's name or the copy as it was written.
[[noreturn]] void refuseCopyNotPut(const std::string& file);

// Hands the design's identifier counter to the identifier service and
// reserves every identity the design holds, whatever the counter says.
void takeIdentities(const std::string& file, const std::shared_ptr<SqliteDesignStore>& store);

// What this process has under way on each design, by the file's identity:
// the read handles openDesign gave out, whose reads a save of the design
// ends (they would keep an update in place from committing, and on Windows
// a rewrite from replacing the file); and the saves and autosaves under
// way, so that a save never waits for one its own thread began (which
// could not end meanwhile) and an autosave gives way to a save.
enum class SessionKind { Save, Autosave };

struct Record {
    FileIdentity design;
    SessionKind kind;
    std::thread::id thread;
    std::shared_ptr<std::atomic<bool>> giveWay;
};

class Sessions {
public:
    static Sessions& instance();

    // A save or autosave of `design` under way, for the object's lifetime.
    class Entry {
    public:
        Entry(const FileIdentity& design, SessionKind kind);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        // Set once a save of the design begins: an autosave then gives way.
        const std::shared_ptr<std::atomic<bool>>& giveWay() const;
        // The design's name holds another file now: the new version a
        // rewrite put in place.
        void moveTo(const FileIdentity& design);

    private:
        std::list<Record>::iterator m_record;
    };

    // True when this thread began a save of `design` that has not ended.
    bool ofThisThread(const FileIdentity& design) const;
    // True when this process has a save or autosave of `design` under way.
    bool underWay(const FileIdentity& design) const;
    // Asks the autosaves of `design` to give way: their next call refuses.
    // They hold the design only while they begin and put their copy in
    // place, so a save never waits for one longer than that.
    void yieldAutosaves(const FileIdentity& design);
    void addReader(const FileIdentity& design, const std::shared_ptr<SqliteDesignStore>& store);
    // The read handles of `design` this process has open.
    std::vector<std::shared_ptr<SqliteDesignStore>> readers(const FileIdentity& design);

private:
    friend class Entry;
    mutable std::mutex m_mutex;
    std::list<Record> m_records;
    std::vector<std::pair<FileIdentity, std::weak_ptr<SqliteDesignStore>>> m_readers;
};

// Refuses at once a road of `design` while this thread has a save of it
// under way, which could not end while the road waited.
void requireNotUnderWayHere(const char* cannot, const std::string& file, const FileIdentity& design);
// Before a road takes the lock of the existing design `design`: refuses at
// once a save this thread has under way on it, and makes this process's
// autosaves of it give way.
void makeWay(const char* cannot, const std::string& file, const FileIdentity& design);

} // namespace Zorvan::road

namespace Zorvan {

// What an editing session holds: its claim, what it opened and the state of
// the design it knows, which its saves check and move on.
struct EditSessionState {
    std::string file;
    EditOptions options;
    // The design's place, its folder held since the session began.
    Site design;
    // The autosave copy's folder (that of the name the host gave), its leaf
    // and its name as the host spelled the design's.
    std::shared_ptr<const Folder> copyFolder;
    std::string copyLeaf;
    std::string copyName;
    std::optional<EditClaim> claim;
    OpenedDesign opened;
    std::optional<RecoveredCopy> recovered;

    // The design as the session last read or saved it; nullopt before it
    // read it (a recovery as it opens).
    std::optional<AutosaveOrigin> known() const;
    // The tokens handed out carry this count of committed saves.
    std::uint64_t saves() const;
    // A save of the session committed (under the design's lock): the design
    // is `now`, and every token taken before is stale.
    void saved(const AutosaveOrigin& now);
    // Makes every token taken so far stale (the session closes).
    void endTokens();
    // One autosave at a time: false when one runs.
    bool startAutosave();
    void endAutosave();

private:
    mutable std::mutex m_mutex;
    std::optional<AutosaveOrigin> m_known;
    std::uint64_t m_saves = 0;
    bool m_autosaving = false;
};

// The session's one autosave at a time, held by the autosave's state until
// all else of it is gone, its lock included.
class AutosaveSlot {
public:
    AutosaveSlot() = default;
    explicit AutosaveSlot(std::shared_ptr<EditSessionState> editing) : m_editing(std::move(editing)) {}
    AutosaveSlot(const AutosaveSlot&) = delete;
    AutosaveSlot& operator=(const AutosaveSlot&) = delete;
    ~AutosaveSlot() {
        if (m_editing) {
            m_editing->endAutosave();
        }
    }

private:
    std::shared_ptr<EditSessionState> m_editing;
};

// What a part shares with its save: the store while the save writes (null
// once it ended), and for an autosave the sign to give way to a save.
struct DesignPart::Session {
    std::string file;
    const char* cannot;
    ZvFileWriteMode mode;
    std::shared_ptr<SqliteDesignStore> store;
    std::shared_ptr<std::atomic<bool>> giveWay;
};

// Declared in the order of taking: destroyed in reverse, so the store is
// closed before its temporary file is removed, every handle on the design
// before the lock is let go (closing the lock's descriptor earlier would
// drop SQLite's locks on the design), and the save is known to be under
// way until then.
struct DesignSave::State {
    State(std::string fileName, std::string targetName, const DesignSaveOptions& saveOptions,
          std::shared_ptr<const Folder> designFolder,
          FileLock designLock, road::SessionKind kind, std::shared_ptr<EditSessionState> autosaving = nullptr)
        : slot(std::move(autosaving)),
          entry(designLock.identity(), kind),
          file(std::move(fileName)),
          target(std::move(targetName)),
          options(saveOptions),
          folder(std::move(designFolder)),
          lock(std::move(designLock)),
          written(target) {}
    // Closes the store now, also while parts still hold a share of it.
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    AutosaveSlot slot;
    road::Sessions::Entry entry;
    // The editing session the save or autosave is of, if any.
    std::shared_ptr<EditSessionState> editing;
    std::string file;
    std::string target;
    DesignSaveOptions options;
    // The design's folder, held since begin: every later step acts in it.
    std::shared_ptr<const Folder> folder;
    // The design's one-writer lock; an autosave lets it go while it writes
    // its copy, and takes it again to put the copy in place.
    std::optional<FileLock> lock;
    // The new version's own lock, taken before it is renamed into place.
    std::optional<FileLock> successorLock;
    // The design as it was, open for reading during a rewrite: its read
    // lock keeps other programs from committing to it until the rename,
    // and its change counter tells whether one did before it was taken.
    std::shared_ptr<SqliteDesignStore> previous;
    std::uint32_t previousChanges = 0;
    bool isNew = true;
    bool committed = false;
    // An autosave: the copy's leaf name, which commit() puts the new version
    // at, and its name as the host spelled the design's.
    bool autosave = false;
    std::string copyLeaf;
    std::string copyName;
    // The design as the autosave found it, recorded in the copy; where the
    // design is, and the count of saves the autosave's objects came after.
    AutosaveOrigin origin;
    Site design;
    std::uint64_t tokenSaves = 0;
    const char* cannot = road::kCannotSave;
    std::string createdRevision;
    FileName written;
    std::optional<NewFile> temporary;
    std::shared_ptr<SqliteDesignStore> store;
    std::shared_ptr<DesignPart::Session> session;

    // Where the design as it was is read: beside a rewrite, or through the
    // store an update in place writes.
    const SqliteDesignStore& before() const { return previous ? *previous : *store; }
    // Ends the writing: parts are told, the store closed.
    void endWriting();
};

namespace road {
// Refuses an autosave whose copy is no longer current when the design is
// `now`: a save of its session committed since its objects were taken, or
// another program changed the design since the session knew it.
void requireCopyCurrent(const DesignSave::State& s, const AutosaveOrigin& now);
} // namespace road

} // namespace Zorvan
