#pragma once
/// @file
/// FileName: the name of one file, as text in the platform's form. A value
/// class: it never looks at the disk.
///
/// The name splits into folder + leaf, where the folder is everything up to
/// and including the last separator ('/'; on Windows also '\\'):
///   "designs/pump.v2.zvd"  folder "designs/"  leaf "pump.v2.zvd"  extension ".zvd"
///   "designs.old/pump"     folder "designs.old/"  leaf "pump"  extension ""
///   "designs/.zvd"         leaf ".zvd"  extension ".zvd"  (a leaf that is only an extension)
///   "designs/"             leaf ""  extension ""  (names no file)
///   "." and ".."           leaf and extension are the whole text (folder references, no file)
///
/// Thread-safety: const operations may run concurrently; a FileName that is
/// being changed must not be read meanwhile.

#include <string>

#include "FileHandling/FileHandlingExport.h"

namespace Zorvan {

class SERVICES_FILEHANDLING_EXPORT FileName {
public:
    FileName(const std::string& path); // NOLINT(google-explicit-constructor): a name is its text
    FileName(const char* path);        // NOLINT(google-explicit-constructor)
    FileName(const FileName& other);
    FileName& operator=(const FileName& other);
    virtual ~FileName();

    /// The last component of the name; empty when the name ends in a separator.
    std::string getLeafName() const;
    /// The leaf from its last dot on ("pump.zvd" -> ".zvd"), or empty text
    /// when the leaf has no dot. A leaf that starts with its only dot, or
    /// that is made of dots only, is all extension.
    std::string getExtension() const;
    /// Puts `extension` in place of getExtension() (appends it when there is
    /// none): "a/pump.zvd" with ".tmp.zvd" becomes "a/pump.tmp.zvd".
    void replaceExtension(const std::string& extension);
    /// Everything before the leaf, the trailing separator included; empty
    /// when the name has no folder part.
    std::string getFolder() const;
    /// The name as the operating system takes it. FileName(x.toNativeString())
    /// names the same file as x.
    std::string toNativeString() const;

    bool operator==(const FileName& other) const;
    bool operator!=(const FileName& other) const;

private:
    SERVICES_FILEHANDLING_NO_EXPORT std::string::size_type leafStart() const;

    std::string m_path;
};

/// The folder that holds `name`, as the system takes it: getFolder(), or
/// "." (the current folder) for a bare leaf.
SERVICES_FILEHANDLING_EXPORT std::string folderOf(const FileName& name);

} // namespace Zorvan
