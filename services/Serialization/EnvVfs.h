#pragma once
// The design store's own SQLite VFS: every operation SQLite makes on a
// design and on its rollback journal goes through the installed Env
// (FileHandling/Env.h), so that a test that installs another Env sees,
// counts, fails or records SQLite's reads, writes, flushes, locks and
// deletions like every other file operation of a save.
//
// - A connection is opened on a VfsSite: the design's leaf in a folder the
//   store holds. SQLite reaches the design and its own journal there and
//   nothing else: no path is resolved again, a link at either name is never
//   followed, and any other file SQLite asks for (a super-journal a journal
//   names, a temporary file, a write-ahead log) is refused, never handed
//   to the system's VFS. The store keeps temporary data in memory.
// - What SQLite opens is judged on the open handle, before a byte of it is
//   used: a journal with other names, one that names a super-journal, and
//   a hot one (or one a writer would write into) whose owner could not have
//   written the design are refused; so is a design in write-ahead mode and
//   a write-ahead log beside it. Why is kept on the site (refusal()) for
//   the store to raise.
// - A journal is created with the access of its design (owner, permission
//   bits, ACL), and the first flush of a journal it created flushes the
//   folder too, so that the journal's name is on the disk before the design
//   is changed; it is removed only while its name still holds it.
// - Locks follow SQLite's protocol on its own lock bytes (a shared lock on
//   the whole shared range), as SQLite's unix and Windows VFS take them, so
//   that other programs' SQLite and ours keep each other out. They are the
//   Env's locks, which belong to the open file: two connections of this
//   process exclude each other as two processes do, and closing some other
//   descriptor of the file never drops them.
//
// Internal to the design store: not installed.

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "Exceptions/FileError.h"
#include "FileHandling/Env.h"
#include "FileHandling/Folder.h"

namespace Zorvan::internal {

/// The write-ahead log SQLite keeps beside the design `leaf` in that mode.
inline std::string logName(const std::string& leaf) { return leaf + "-wal"; }
/// Whether a rollback journal that begins with `first` is hot: an update
/// that did not finish left it, and SQLite would play it into the design.
inline bool isHotJournal(char first) { return first != 0; }

/// Why the VFS refused a file SQLite asked for: the design's name holds no
/// regular file, or its journal's (NotRegular); a journal or log whose
/// owner could not have written the design (OtherOwner), with other names
/// too (OtherNames), naming a super-journal (SuperJournal); a write-ahead
/// log beside the design (UnfinishedLog), one another program has open
/// (Busy); the design switched to write-ahead logging (WriteAheadMode); a
/// file that is neither the design nor its journal (OtherFile).
struct VfsRefusal {
    FileErrc kind;
    /// The file's leaf name in the design's folder (the name SQLite asked
    /// for, for OtherFile).
    std::string leaf;
    std::optional<std::uint32_t> owner;
};

/// A design's place for the life of one connection: register it before the
/// connection opens name() and keep it until the connection is closed.
/// Not movable: the VFS finds it by the number in its name.
class VfsSite {
public:
    explicit VfsSite(Site site);
    ~VfsSite();
    VfsSite(const VfsSite&) = delete;
    VfsSite& operator=(const VfsSite&) = delete;

    /// The name to open the design by, through envVfs().
    const std::string& name() const noexcept { return m_name; }
    const Folder& folder() const noexcept { return *m_site.folder; }
    const std::string& leaf() const noexcept { return m_site.leaf; }
    const std::string& journalName() const noexcept { return m_journalName; }
    /// Which of the site's files `leaf` names: the design, its journal, its
    /// write-ahead log, or another.
    FileRole roleOf(const std::string& leaf) const {
        return leaf == m_site.leaf     ? FileRole::Design
               : leaf == m_journalName ? FileRole::Journal
               : leaf == logName(m_site.leaf) ? FileRole::Log
                                              : FileRole::Other;
    }

    /// The design as the connection opened it; nullopt before.
    std::optional<FileIdentity> design() const {
        return m_design ? std::optional<FileIdentity>(m_design->identity) : std::nullopt;
    }
    /// Why the VFS last refused a file of this site; cleared by the call.
    std::optional<VfsRefusal> takeRefusal() noexcept { return std::exchange(m_refusal, std::nullopt); }

    /// The reserved bytes per page of the new database the connection is
    /// about to write: SQLite may write other pages of it before its header,
    /// which says so.
    void expectReserved(unsigned char bytes) noexcept { m_newReserved = bytes; }
    std::optional<unsigned char> expectedReserved() const noexcept { return m_newReserved; }

private:
    friend struct VfsAccess;
    Site m_site;
    std::string m_journalName;
    std::string m_name;
    std::optional<VfsRefusal> m_refusal;
    std::optional<unsigned char> m_newReserved;
    // The design as the connection opened it: whose journal may be played
    // into it is judged against it.
    std::optional<FileFacts> m_design;
    // The journal the connection opened or made, which alone it removes.
    std::optional<FileIdentity> m_journal;
};

/// The VFS's name, registered with SQLite on first use (never as the
/// process's default VFS): pass it to sqlite3_open_v2 for every connection.
const char* envVfs();

/// The longest path, in bytes, the VFS opens a file by.
int envVfsMaxPath();

/// The error behind `system`, the number sqlite3_system_errno() gives: the
/// Env's error, with its category, when the last Env call that failed on
/// this thread left that number; else the number as the system's.
std::error_code envVfsCause(int system);

/// Whether the user `owner` of a journal beside `design` could have written
/// the design itself: its owner, root, or a member of the design's group
/// when the group may write it. True where the system keeps no owners.
bool couldHaveWritten(std::optional<std::uint32_t> owner, const FileFacts& design);

} // namespace Zorvan::internal
