#pragma once
/// @file
/// EditClaim: one editor at a time on a design. An editor holds the claim of
/// a design from the moment it opens it for editing until it closes it; a
/// second editor, in this process or another, of this user or another, is
/// told who holds it instead.
///
/// The claim is a lock on one byte (kClaimOffset) of a small file beside the
/// design, `<design>.editor`, taken through a handle of its own with
/// Env::lock (an open file description lock on Linux, LockFileEx on
/// Windows): the system lets it go when the editor's process ends, however it
/// ends, so a crashed editor never keeps anyone out and nothing stale needs
/// clearing. The file records who holds the claim (user, machine, since
/// when), for the sentence the next editor reads; the record is only ever
/// read for that, never trusted to decide anything.
///
/// The file is the claim's own: it is opened in the design's folder as held
/// by the caller, a link at its name is never followed, and one that is not
/// this user's or has other names (planted, or left by an editor of another
/// user that crashed) is removed and made anew rather than written. After
/// locking, the name must still hold the locked file, so that a claim let go
/// and removed meanwhile is never taken for the current one. The holder
/// removes the file, still locked, as it lets go.
///
/// Thread-safety: distinct objects may be used on any threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "FileHandling/Folder.h"
#include "FileLock/FileLockExport.h"

namespace Zorvan {

/// Who holds a claim, as its file records it. Text from another user's file:
/// cut to a few dozen characters, control characters dropped.
struct EditorRecord {
    std::string user;
    std::string machine;
    /// When the claim was taken: "2026-12-07 22:40 UTC".
    std::string since;
};

class SERVICES_FILELOCK_EXPORT EditClaim {
public:
    /// The byte that is locked, as far from the record as FileLock's byte is
    /// from a design's pages, so that a reader of the record on Windows,
    /// where a lock keeps readers out of its bytes, is never kept out.
    static constexpr std::int64_t kClaimOffset = 0x40000000 + 0x400;

    /// The claim file's leaf beside the design's leaf `designLeaf`.
    static std::string leafOf(const std::string& designLeaf);

    /// Takes the claim of the design `designLeaf` in `folder`. nullopt when
    /// another editor holds it; `holder` then says who, as far as its file
    /// records it (fields empty while that editor is still writing them).
    /// Throws FileError (FileRole::Lock) when the claim's file cannot be
    /// made, opened or locked for another reason, or when another user's
    /// file at its name cannot be removed (FileErrc::OtherOwner, the owner
    /// in subject()).
    static std::optional<EditClaim> take(const std::shared_ptr<const Folder>& folder, const std::string& designLeaf,
                                         EditorRecord& holder);
    /// Who holds the claim of the design `designLeaf` in `folder`; nullopt
    /// when nobody does. A claim this process holds counts like any other.
    /// Throws FileError (FileRole::Lock) when it cannot tell.
    static std::optional<EditorRecord> holder(const Folder& folder, const std::string& designLeaf);

    EditClaim(EditClaim&& other) noexcept;
    EditClaim& operator=(EditClaim&& other) noexcept;
    /// Removes the claim's file and lets the claim go.
    ~EditClaim();

    /// What this claim records of its holder.
    const EditorRecord& record() const;

private:
    struct Impl;
    SERVICES_FILELOCK_NO_EXPORT explicit EditClaim(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace Zorvan
