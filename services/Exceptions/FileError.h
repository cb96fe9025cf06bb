#pragma once
/// @file
/// FileError: the one failure the services below the save road raise about
/// a file. It says what happened as data, never as a sentence for the user:
/// a std::error_code (the system's error as the system gave it, SQLite's
/// result code, or one of the conditions below that the services find
/// themselves), the role the file plays for a design, and its path. The
/// save road turns these into the sentence a user reads; what() is for
/// logs only.
///
/// Thread-safety: immutable after construction except through assignment.

#include <cstdint>
#include <source_location>
#include <string>
#include <system_error>

#include "Exceptions/ExceptionsExport.h"
#include "Exceptions/ZvException.h"

namespace Zorvan {

/// What the services find wrong themselves, in fileErrorCategory().
enum class FileErrc {
    Busy = 1,       ///< another program holds the file locked (it writes or saves it)
    HeldOpen,       ///< another program has the file open and keeps others from writing it
    UnfinishedLog,  ///< a write-ahead log another program of the owner left
    OtherOwner,     ///< a journal or log of a user who could not have written the design
    OtherNames,     ///< a journal or log with other names too, which writing it would change
    SuperJournal,   ///< a journal that names a super-journal, which no design's transaction writes
    WriteAheadMode, ///< another program switched the design to write-ahead logging
    ProtectedLink,  ///< a link of another user in a shared sticky folder
    NotRegular,     ///< not a regular file (a folder, a FIFO, a device)
    OtherFile,      ///< a file that is neither the design nor its journal
    NotADesign,     ///< the file holds no design of this software
    Damaged,        ///< the file holds a design that contradicts itself
    NotEmpty,       ///< a file that was to be new and empty holds something
    Duplicate,      ///< two objects with one identity
    Closed,         ///< a handle used after it was closed
    ReadOnly,       ///< a write through a handle opened for reading
};

/// The file a FileError is about, as a design's save sees it.
enum class FileRole {
    Design,       ///< the design itself
    Journal,      ///< its rollback journal beside it
    Log,          ///< a write-ahead log beside it
    NewVersion,   ///< the temporary file a new version is written to
    AutosaveCopy, ///< the autosave copy beside it
    Lock,         ///< the design as the one-writer lock holds it
    Folder,       ///< the folder that holds it
    Other,        ///< anything else
};

/// The category of FileErrc. message() is an English text for logs. Busy
/// and HeldOpen compare equal to std::errc::device_or_resource_busy.
SERVICES_EXCEPTIONS_EXPORT const std::error_category& fileErrorCategory();
SERVICES_EXCEPTIONS_EXPORT std::error_code make_error_code(FileErrc code);
/// Whether `code` is `condition`, in fileErrorCategory() or in another
/// category whose codes stand for it too (SQLite's "not a database").
SERVICES_EXCEPTIONS_EXPORT bool is(const std::error_code& code, FileErrc condition);

class SERVICES_EXCEPTIONS_EXPORT FileError : public ZvException {
public:
    /// `subject` is what a sentence about `code` names besides the file:
    /// the user who owns a foreign file or link, the identity of a
    /// duplicate object; empty otherwise.
    FileError(std::error_code code, FileRole role, std::string path, std::string subject = {},
              std::source_location location = std::source_location::current());
    FileError(const FileError& other);
    FileError& operator=(const FileError& other);
    ~FileError() override;

    const std::error_code& code() const noexcept { return m_code; }
    FileRole role() const noexcept { return m_role; }
    const std::string& path() const noexcept { return m_path; }
    const std::string& subject() const noexcept { return m_subject; }

private:
    std::error_code m_code;
    FileRole m_role;
    std::string m_path;
    std::string m_subject;
};

} // namespace Zorvan

/// @cond
// FileErrc values convert to std::error_code.
namespace std {
template <>
struct is_error_code_enum<Zorvan::FileErrc> : true_type {};
} // namespace std
/// @endcond
