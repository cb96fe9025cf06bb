#pragma once
/// @file
/// Folder: a folder held open, so that what a save checked is what it acts
/// on. Every operation works on the folder that was opened, whatever happens
/// to its path meanwhile (renamed away, replaced by a link to another
/// folder), and looks at, creates, renames and removes the names in it
/// without ever following a link planted at one of them.
///
/// The folder is a handle of the installed Env (see Env.h): on POSIX a
/// descriptor opened with O_DIRECTORY, every operation an *at() call
/// relative to it.
///
/// resolveName() is the one place where links at a name the user gave are
/// followed, as the kernel would follow them.
///
/// Thread-safety: a Folder may be used from several threads at once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "FileHandling/Env.h"
#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/NewFile.h"

namespace Zorvan {

/// Where the links at a name lead, or why they lead nowhere.
struct ResolvedName {
    enum class Outcome {
        Resolved,  ///< `path` is the file the name leads to (perhaps nothing yet)
        Missing,   ///< a link leads to a file that does not exist
        Loop,      ///< the links lead round in a circle, or too far
        Protected, ///< a link the kernel would not follow: in a folder that
                   ///< everybody may write to and that has the sticky bit,
                   ///< owned neither by this user nor by the folder's owner
        TooLong,   ///< the folder's full path is longer than a path may be
    };
    Outcome outcome = Outcome::Resolved;
    std::string path;
    /// How many links were followed to get there.
    int links = 0;

    /// Why the name leads to no file it may use: no_such_file_or_directory,
    /// too_many_symbolic_link_levels or permission_denied; none otherwise.
    SERVICES_FILEHANDLING_EXPORT std::error_code error() const;
    /// For Protected: the link, and its owner.
    std::string link;
    std::uint32_t linkOwner = 0;
};

/// Follows the links at `path` (and at the names they lead to) once, as the
/// kernel would, and names the file they end in; links in the folders on
/// the way are resolved too. A name that is no link is returned with its
/// folder resolved. Throws FileNameException with the system's reason when
/// it cannot look at a name on the way (nothing there is no failure).
SERVICES_FILEHANDLING_EXPORT ResolvedName resolveName(const std::string& path);

/// A name the user typed as the system takes it, or why no file can have
/// it. On POSIX every name is taken as it is. On Windows the name is what
/// Win32 would make of it: a short (8.3) name of a file or folder that
/// exists becomes its long name, a drive-relative "Z:pump.zvd" the path in
/// that drive's current folder, and trailing dots and spaces go as Win32
/// drops them ("pump.zvd. " names the file pump.zvd); `\\?\` and `\\.\` names are
/// taken as they are. A name that would reach a device ("CON.zvd",
/// "lpt1 .txt", a folder "nul"), a stream ("pump.zvd:x") or a character
/// Windows forbids in names (< > | ? * " and control characters) is
/// refused: `fault` says which, `part` is the component or the character.
struct NativeName {
    enum class Fault { None, Device, Stream, Character };
    std::string path;
    Fault fault = Fault::None;
    std::string part;
};
/// Looks only at the folders that exist on the way (Windows); never throws
/// but std::bad_alloc.
SERVICES_FILEHANDLING_EXPORT NativeName nativeName(const std::string& path);

class Folder;

/// Where a name resolved to a file (perhaps nothing yet) ends: the folder
/// that holds the file, held open from the look that resolved the name, and
/// what the name held at that look (nullopt: nothing).
struct ResolvedSite {
    std::shared_ptr<const Folder> folder;
    std::optional<FileFacts> facts;
};

/// resolveName(), which also hands over the folder the name ends in when
/// it is Resolved and the folder could be opened (`where.folder` is null
/// otherwise): a caller acts on the folder the name was resolved in, with
/// no second open of its path and no second look at the name.
SERVICES_FILEHANDLING_EXPORT ResolvedName resolveName(const std::string& path, ResolvedSite& where);

/// Where a file is: a leaf name in a folder held open. Everything that acts
/// on the file from the moment its name was resolved shares the folder, so
/// that a folder renamed away or replaced by a link meanwhile changes
/// nothing about which file they reach.
struct Site {
    std::shared_ptr<const Folder> folder;
    std::string leaf;
};

/// Where `file` is: its leaf in the folder that holds it, opened now (links
/// in the folder's path followed, a link at the leaf not). Throws
/// FileNameException when the folder cannot be opened.
SERVICES_FILEHANDLING_EXPORT Site siteAt(const FileName& file);
/// Where the links at `path` lead, as `resolved` (resolveName(path)) found
/// them: the file they end in, or would end in when it is missing, its
/// folder opened now. A name whose links cannot be followed (a loop, a
/// link the system does not follow for this user) stays as it is; callers
/// refuse those by resolved.error() first. Throws FileNameException when
/// the folder cannot be opened.
SERVICES_FILEHANDLING_EXPORT Site siteOf(const std::string& path, const ResolvedName& resolved);
/// siteOf(path, resolveName(path)).
SERVICES_FILEHANDLING_EXPORT Site siteOf(const std::string& path);

class SERVICES_FILEHANDLING_EXPORT Folder {
public:
    /// Opens the folder `path` names (links in it followed, now and only
    /// now). Throws FileNameException naming it and the system's reason.
    static Folder open(const std::string& path);
    /// Opens the folder that holds `file` ("." for a bare leaf name).
    static Folder holding(const FileName& file);

    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    ~Folder();

    /// The path the folder was opened by, for messages.
    const std::string& path() const noexcept;
    /// `leaf` within the folder, for messages.
    std::string pathOf(const std::string& leaf) const;
    /// The Env the folder was opened through and its handle there, for
    /// code that acts in the folder with calls of its own (the design
    /// store's SQLite VFS); valid while the folder is.
    Env& env() const noexcept;
    const EnvHandle& handle() const noexcept;

    /// What `leaf` holds; nullopt when nothing is there. Throws
    /// FileNameException with the system's reason when it cannot tell.
    [[nodiscard]] std::optional<FileFacts> look(const std::string& leaf) const;
    /// The first `size` bytes (fewer when the file is shorter) of the
    /// regular file `leaf`, opened without following a link and without
    /// blocking; empty when it is not there or not a regular file. Throws
    /// FileNameException when it cannot be opened or read for another reason.
    [[nodiscard]] std::string readStart(const std::string& leaf, std::size_t size) const;
    /// True when a program other than this one holds a lock on byte `offset`
    /// of the regular file `leaf` (POSIX record locks; always false on
    /// Windows, whose locks keep a reader out instead); false when there is
    /// no such file. Throws FileNameException when it cannot tell.
    [[nodiscard]] bool isLockedByAnother(const std::string& leaf, std::int64_t offset) const;

    /// How a replace() ended.
    enum class Replaced {
        Done,          ///< `to` holds the new file, on disk
        SourceChanged, ///< `from` no longer holds the file it was given
        TargetChanged, ///< `to` no longer holds the file it was to replace
    };
    /// Puts the file `from` holds (which must be `file`, a regular file with
    /// no other name) in place of `to` and makes that durable: it is flushed,
    /// then renamed over `to`, then the folder is flushed. `replaced` is the
    /// file `to` must still hold right before the rename; nullopt accepts
    /// whatever is there (a link at `to` is replaced, never followed), but
    /// when nothing is, a file put there before the rename is not replaced
    /// (TargetChanged). With
    /// `takeAccess`, the file first takes the access of the file it replaces
    /// (owner where the process may give it, group, permission bits, ACL,
    /// extended attributes), as FileUtilities::replaceFile does. Throws
    /// FileNameException when a step fails for another reason (a name that
    /// cannot be looked at is no change); `to` then holds what it held.
    [[nodiscard]] Replaced replace(const std::string& from, const FileIdentity& file, const std::string& to,
                                   const std::optional<FileIdentity>& replaced, bool takeAccess) const;
    /// Removes `leaf` (a link is removed, not followed) and flushes the
    /// folder, so that the removal outlasts a power cut. False when nothing
    /// was there. Throws FileNameException with the system's reason.
    bool remove(const std::string& leaf) const;
    /// Flushes the folder's entries to disk; a file system that cannot is
    /// logged, not refused.
    void sync() const;
    /// True when this process may create files in the folder. Throws
    /// FileNameException when the system cannot tell.
    [[nodiscard]] bool isWritable() const;

private:
    friend struct FolderAccess; // resolveName() hands over the folder it opened
    struct Impl;
    SERVICES_FILEHANDLING_NO_EXPORT explicit Folder(std::unique_ptr<Impl> impl);
    /// The regular file `leaf`, opened without following a link; nullopt
    /// when nothing or something else is there. Throws FileNameException
    /// for any other failure.
    SERVICES_FILEHANDLING_NO_EXPORT std::optional<EnvHandle> openRegular(const std::string& leaf,
                                                                         OpenOptions::Access access) const;
    std::unique_ptr<Impl> m_impl;
};

} // namespace Zorvan
