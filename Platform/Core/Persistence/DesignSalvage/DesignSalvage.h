#pragma once
/// @file
/// Salvage: what can still be read of a damaged design (or of any design),
/// written as a new design. A host offers it when the road refuses a design
/// as damaged: the user's work that SQLite can still read comes back, under
/// a new name, and the damaged file is left exactly as it was for whoever
/// wants to look at it later.
///
/// @code
/// const Zorvan::SalvageReport report = Zorvan::salvageDesign("pump.zvd", "pump.salvaged.zvd");
/// // report.objectsSalvaged objects came back; report.lostIdentities did not.
/// @endcode
///
/// Salvage reads the damaged file's bytes once (it never opens the file to
/// write, and takes no lock on it), rebuilds every table row that can be
/// read page by page, rows that no page of the table points at any more
/// included, and writes them through the road as a first save of `into`
/// (a temporary file, flushed, renamed in place). Identities are kept.
/// The read opens and closes a descriptor of `file`: on POSIX systems that
/// drops any record lock this process holds on it, so a host salvages a
/// design it has closed (the road refused it anyway).

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Core/Persistence/DesignSalvage/DesignSalvageExport.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace Zorvan {

/// How a salvage runs.
struct SalvageOptions {
    /// How long the save of the new design waits for another program that
    /// is saving it, and the note called once before it waits.
    std::chrono::milliseconds lockWait{10000};
    WaitNote onWait{};
    /// Called as objects are written to the new design: `done` of `total`.
    std::function<void(std::int64_t done, std::int64_t total)> onProgress{};
    /// Whether a page of the damaged design (the whole page, reserved bytes
    /// included) holds what was written to it. Objects read from a page that
    /// does not are salvaged but listed as suspect. Empty: the checksum every
    /// page of a design written by this software carries; for a design
    /// written before, every page is sound.
    std::function<bool(std::span<const unsigned char> page)> pageIsSound{};
};

/// Two or more readable objects of one identity, of which salvage kept one.
struct SalvagedDuplicate {
    std::int64_t identity = 0;
    /// How many differing objects had it.
    std::int64_t copies = 0;
    /// The one kept: the copy the design's table still reaches when there is
    /// one, else the first found among rows no page points at any more.
    bool keptFromTable = true;
    std::string keptType;
    std::int64_t keptPayloadBytes = 0;
};

/// What a salvage brought back and what it did not.
struct SalvageReport {
    /// The damaged design, and the new design written.
    std::string file;
    std::string into;
    /// Objects written to the new design.
    std::int64_t objectsSalvaged = 0;
    /// Identities seen whose object could not be read (its type or payload
    /// unreadable), in order. Objects of which nothing at all was readable
    /// leave no identity behind and are not counted anywhere.
    std::vector<std::int64_t> lostIdentities;
    /// Salvaged identities read from a page that failed pageIsSound.
    std::vector<std::int64_t> suspectIdentities;
    /// Pages that failed pageIsSound.
    std::int64_t unsoundPages = 0;
    /// Identities several differing objects had, and the one kept of each.
    std::vector<SalvagedDuplicate> duplicates;
    /// Groups written to the new design.
    std::int64_t groups = 0;
    /// The design's metadata row was found. Each field that was not there
    /// or not readable took a default, named in defaultsUsed ("version",
    /// "dataRevision", "dataRevisionNumber", "createdRevision",
    /// "lastSavedRevision", "identifierCounter").
    bool metadataReadable = false;
    std::vector<std::string> defaultsUsed;
    /// What the metadata said (or the defaults): the damaged design's format
    /// version and revisions; the new design records the data revision.
    std::int32_t version = 0;
    std::string createdRevision;
    std::string lastSavedRevision;
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    /// The identifier the damaged design would have handed out next, (0, 0)
    /// when it was not readable.
    std::int64_t formerNextIdentifier = 0;
    /// The identifier the new design hands out next: above every identity
    /// salvaged and the damaged design's own counter.
    std::int64_t nextIdentifier = 0;
    std::int16_t identifierDomain = 0;
    /// The source revision of the software that wrote the new design.
    std::string savedRevision;
};

/// Salvages `file` into the new design `into`. Never writes `file`. Raises
/// DesignRefusedException naming the files when `file` is missing or not
/// readable by this user (Missing, ReadOnly), when nothing of it can be read
/// as a database (NotADesign), when it is of a newer version than this
/// software (Newer), when something is already at `into` (ForeignFile, with
/// the cause std::errc::file_exists: salvage never replaces a file), and
/// when the new design cannot be written (as any first save is refused).
[[nodiscard]] PERSISTENCE_DESIGNSALVAGE_EXPORT SalvageReport salvageDesign(const std::string& file,
                                                                           const std::string& into,
                                                                           const SalvageOptions& options = {});

/// The name salvage writes to by default: `file` with ".salvaged" before its
/// extension ("pump.zvd" -> "pump.salvaged.zvd").
[[nodiscard]] PERSISTENCE_DESIGNSALVAGE_EXPORT std::string salvagedName(const std::string& file);

} // namespace Zorvan
