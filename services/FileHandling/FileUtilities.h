#pragma once
/// @file
/// FileUtilities: the static file operations of the system. Each call
/// forwards to the installed FileSystem (the native one unless a host or
/// test installed another); see FileSystem for the contract of each.
///
/// Convention for a rewrite through a temporary file: the new content is
/// written under the temporary name, then replaceFile(temporary, target)
/// puts it in place. Hosts reach this through
/// ZvFileIO::restoreFileName(target, temporary, mode), which passes its
/// second argument first.
///
/// Thread-safety: all operations may be called concurrently.

#include <memory>
#include <system_error>

#include "FileHandling/FileHandlingExport.h"
#include "FileHandling/FileName.h"
#include "FileHandling/FileSystem.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileUtilities {
public:
    static bool exists(const FileName& name, bool followSymlinks);
    static bool isReadOnly(const FileName& name);
    static void remove(const FileName& name);
    static bool replaceFile(const FileName& source, const FileName& destination);
    /// The native replaceFile (see FileSystem::replaceFile) through the
    /// installed Env, whichever FileSystem is installed, saying why it
    /// failed: no error, or the error of the step that failed; a refusal
    /// decided here is the std::errc closest to it (too_many_links for a
    /// source with another name, too_many_symbolic_link_levels for a link at
    /// it, ...). A failure is logged, naming both files and the step.
    static std::error_code replace(const FileName& source, const FileName& destination);

    /// Installs `fileSystem` (null: the native one) and returns the one it replaces.
    static std::shared_ptr<FileSystem> setFileSystem(std::shared_ptr<FileSystem> fileSystem);
    static std::shared_ptr<FileSystem> fileSystem();
};

/// Installs a file system for the lifetime of the object, then puts the
/// previous one back.
class SERVICES_FILEHANDLING_EXPORT ScopedFileSystem {
public:
    explicit ScopedFileSystem(std::shared_ptr<FileSystem> fileSystem);
    ~ScopedFileSystem();
    ScopedFileSystem(const ScopedFileSystem&) = delete;
    ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

private:
    std::shared_ptr<FileSystem> m_previous;
};

} // namespace Zorvan
