#pragma once
/// @file
/// DesignSave: one save of a design file, the whole road in the right order,
/// so that a host cannot get it wrong.
///
/// @code
/// Zorvan::DesignSave save = Zorvan::DesignSave::begin("pump.zvd", {});
/// Zorvan::DesignIOModule pipes = save.module(/*doAction=*/true); // one per design part
/// pipes.save(pipe);                                             // identities from Identifier::create()
/// save.createGroup();
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
/// done, on disk, when it returns. A DesignSave dropped without commit(), or left by an
/// exception, leaves the design exactly as it was and removes what it
/// created.
///
/// Every refusal and failure raises DesignRefusedException: one sentence for
/// the user naming the file, and a reason a host can act on.
///
/// Thread-safety: one thread at a time per object. Two saves of one design
/// exclude each other, in one process or in many.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

#include "Exceptions/ZvException.h"
#include "FileHandling/FileName.h"
#include "Platform/Core/Persistence/DesignSave/DesignSaveExport.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/SqliteDesignStore.h"

namespace Zorvan {

/// Why a design could not be opened or saved.
enum class DesignRefusal {
    NoName,         ///< the name names no file (".zvd")
    ReadOnly,       ///< this user may not write the file
    NotRegularFile, ///< a FIFO, device or folder is at the name
    NameTooLong,    ///< no room for the names of the save's own files
    Missing,        ///< nothing to open or update in place
    NoDesignYet,    ///< an empty file: a first save that did not finish
    NotADesign,     ///< the file's version cannot be read
    Newer,          ///< written by a newer version of the software
    Busy,           ///< another program is saving or writing it
    Interfered,     ///< another program replaced or changed the design or the save's files meanwhile
    ForeignFile,    ///< a file beside it that this software did not write (another
                    ///< program's log, another user's journal or link) would change it
    Failed,         ///< the disk or the store failed; the design is as it was
};

/// Raised by DesignSave, writeAutosaveCopy and openDesign. what() is one
/// sentence for the user that names the file, e.g. "cannot save 'a.zvd':
/// another program is saving it; try again when it is done."
class PERSISTENCE_DESIGNSAVE_EXPORT DesignRefusedException : public ZvException {
public:
    DesignRefusedException(const std::string& message, DesignRefusal reason,
                           std::source_location location = std::source_location::current());
    DesignRefusedException(const DesignRefusedException& other);
    DesignRefusedException& operator=(const DesignRefusedException& other);
    ~DesignRefusedException() override;

    [[nodiscard]] DesignRefusal reason() const noexcept { return m_reason; }

private:
    DesignRefusal m_reason;
};

/// How a save runs.
struct DesignSaveOptions {
    ZvFileWriteMode mode = ZvFileWriteMode::Overwrite;
    /// How long to wait for another program that is saving the same design.
    std::chrono::milliseconds lockWait{10000};
    /// Called once, before waiting, when another program holds the design.
    std::function<void()> onWait{};
    /// Called as the save reaches each step ("locked", "prepared",
    /// "committed"; "copied" for an autosave): for progress and for tests
    /// that look at the files at that moment.
    std::function<void(std::string_view step)> onStep{};
};

/// What a committed save reports.
struct SaveResult {
    /// The source revision of the software that saved it, as recorded in the file.
    std::string revision;
};

/// A design opened for reading, as every host should: the store bound to the
/// file and what its version says. The store reads the design in one read
/// transaction (see SqliteDesignStore::openForReading): drop it, or call its
/// endRead(), once done reading.
struct PERSISTENCE_DESIGNSAVE_EXPORT OpenedDesign {
    /// Raises DesignRefusedException (DesignRefusal::Newer) naming `file`
    /// when the running software cannot read the design.
    void requireReadable(const std::string& file) const;

    std::shared_ptr<SqliteDesignStore> store;
    /// The running software can read it (false: newer than the software).
    bool readable = false;
    /// It is of the version the running software writes.
    bool current = false;
    std::int32_t version = -1;
    std::string createdRevision;
    std::string lastSavedRevision;
};

/// Opens `file` for reading. Raises DesignRefusedException for a file that
/// is missing, busy, empty or not a design, or beside which lies a file
/// that would change it (see SqliteDesignStore::openForReading); a newer
/// design opens with `readable` false, for the caller to show and refuse.
/// A readable design hands its identifier counter to the identifier
/// service, and reserves every identity it holds, so that objects a host
/// adds to it get new ones.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT OpenedDesign openDesign(const std::string& file);

class PERSISTENCE_DESIGNSAVE_EXPORT DesignSave {
public:
    /// Starts a save of `file` (links at the name are followed: the file
    /// they point to is saved, beside itself). Raises DesignRefusedException
    /// before anything is written when the save cannot be made.
    [[nodiscard]] static DesignSave begin(const std::string& file, const DesignSaveOptions& options);

    DesignSave(DesignSave&& other) noexcept;
    DesignSave& operator=(DesignSave&& other) noexcept;
    /// Without commit(): removes what the save created; the design stays as it was.
    ~DesignSave();

    /// Calls `visit` with the identity and type of every object of the
    /// design as it was before this save (payloads are not read), in
    /// identity order, until it returns false; a new design has none. The
    /// walk holds a few hundred objects at a time, so a host rewrites a
    /// design of any size in little memory, and `visit` may save objects
    /// meanwhile (objects it adds with new identities from the identifier
    /// service are not visited). Raises
    /// std::logic_error after commit().
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

    /// A design module that stores one part of the design; what it fails
    /// to store raises DesignRefusedException naming the design. Raises
    /// std::logic_error after commit().
    [[nodiscard]] DesignIOModule module(bool doAction) const;
    /// Adds a group to the new version.
    void createGroup();
    /// Writes the metadata, commits the store and puts the new version in
    /// place. Raises DesignRefusedException when it cannot (the design is
    /// then as it was), std::logic_error when called twice.
    [[nodiscard]] SaveResult commit(const std::string& dataRevision, std::int32_t dataRevisionNumber);

    /// What a save holds (internal).
    struct State;

private:
    PERSISTENCE_DESIGNSAVE_NO_EXPORT explicit DesignSave(std::unique_ptr<State> state);
    PERSISTENCE_DESIGNSAVE_NO_EXPORT static void putInPlace(State& s);
    std::unique_ptr<State> m_state;
};

/// Writes the autosave copy of `file` under the design's one-writer lock:
/// a complete copy under a temporary name that then replaces the previous
/// copy, with the design's access. Returns the copy's name.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT FileName writeAutosaveCopy(const std::string& file,
                                                                       const DesignSaveOptions& options);

/// Removes the autosave copy of `file` under the design's one-writer lock,
/// waiting for a save or autosave as `options` say, so that it never races
/// an autosave (a design that is gone has no lock to take). True when this
/// call removed the copy, which is then gone from the disk; false when
/// there was none, also when another program removed it first.
[[nodiscard]] PERSISTENCE_DESIGNSAVE_EXPORT bool removeAutosaveCopy(const std::string& file,
                                                                    const DesignSaveOptions& options);

} // namespace Zorvan
