#pragma once
/// @file
/// ZvFileIO: the file-level rules for opening and saving design files. The
/// content of a file is read and written by the serialization interface the
/// caller hands in; ZvFileIO decides whether a file can be read, checks and
/// prepares save targets, writes the metadata every saved file carries and
/// names and deletes autosave copies.
///
/// Opening:  verifyZVVersion / isCurrentZVVersion, logFileVersionInfo,
///           getDataRevision, readMaxIdentifierValue.
/// Saving:   checkSavePossible, prepareFileName, (write through
///           DesignIOModule and createGroup), writeMetaData,
///           restoreFileName(target, temporary, mode).
///
/// Handles are taken by value: each operation keeps its own share for the
/// length of the call and releases it on every exit, exceptions included.
/// Exceptions raised by the serialization interface or the services pass
/// through unchanged.
///
/// These calls are primitives: the save API (DesignSave/DesignSave.h) builds
/// a host's whole road from them, in the right order, under the design's
/// one-writer lock and with the checks of what lies beside the design. On
/// their own they take no lock and check nothing of the kind, so two
/// programs saving one design through them can lose it; hosts use the road.
///
/// Names: every file name taken or given back (FileName's text) is UTF-8,
/// on Windows as on Linux; a host holding UTF-16 names converts them with
/// utf8FromWide (FileHandling/WideText.h).
///
/// Thread-safety: a ZvFileIO holds no mutable state; its operations may run
/// on several threads at once as far as the handles and services allow.

#include <cstdint>
#include <memory>
#include <string>

#include "FileHandling/FileName.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIOExport.h"
#include "Serialization/SingleObjectInterface.h"

namespace Zorvan {

/// The kind of a save. Any other value is accepted: it writes in place,
/// records the last saved revision only, and saves as UpdateSelected does.
/// Unscoped, so that both ZvFileWriteMode::Overwrite and Overwrite name a value.
enum ZvFileWriteMode : std::int32_t {
    /// A complete rewrite: an existing target is written through a temporary
    /// file; every design part saves; objects are always inserted.
    Overwrite = 0,
    /// In place: only the parts selected for the save store their objects,
    /// updating those already stored.
    UpdateSelected = 1,
    /// In place: every part stores its objects, updating those already stored.
    UpdateAll = 2,
};

class PERSISTENCE_ZVFILEIO_EXPORT ZvFileIO {
public:
    /// Keeps a share of `refactoringMap` (may be empty) for the object's lifetime.
    explicit ZvFileIO(std::shared_ptr<LoadRefactoringMap> refactoringMap = {});
    /// Shares the other object's map.
    ZvFileIO(const ZvFileIO& other);
    /// Takes a share of the other object's map before releasing its own, so
    /// that self-assignment keeps the map.
    ZvFileIO& operator=(const ZvFileIO& other);
    /// Releases the map share. None of these four operations throws.
    ~ZvFileIO();

    /// @name Opening
    /// @{

    /// True when the running software can read the file: its version is not
    /// negative and not newer than the current one. False otherwise.
    /// Throws FileOpenException (VersionUnreadable), after logging
    /// "Error reading file version." at ERROR, when `handle` is empty or a
    /// version cannot be read. `progress` may be empty; nothing is reported.
    [[nodiscard]] bool verifyZVVersion(SerializationHandle handle, ProgressHandle progress) const;
    /// True when the file can be read and its version equals the current one;
    /// false for an older, a negative or a newer version. Throws as
    /// verifyZVVersion.
    [[nodiscard]] bool isCurrentZVVersion(SerializationHandle handle) const;
    /// Logs one INFO line: "Opening file (version: 7 created with revision:
    /// r1 last saved with revision: r2)". Reads whatever the file gives
    /// (version -1 and empty revisions when it gives nothing). Does nothing
    /// for an empty handle. `fileName` is not used. Raises nothing of its
    /// own; exceptions of the interface and of the log sink pass through.
    static void logFileVersionInfo(const FileName& fileName, SerializationHandle handle);
    /// The line logFileVersionInfo logs for a file of `version`, created and
    /// last saved with the revisions given.
    static std::string versionLine(std::int32_t version, const std::string& created, const std::string& lastSaved);
    /// @}

    /// @name Save targets
    /// @{

    /// True when `fileName` may be written: it has a name (its leaf is more
    /// than an extension) and it does not exist or is not read-only. When
    /// false and `errorMessage` is not null, `*errorMessage` receives the
    /// translated reason; it is left alone when the result is true. `mode`
    /// is not consulted. Raises nothing of its own; exceptions of the file
    /// system pass through.
    [[nodiscard]] static bool checkSavePossible(const FileName& fileName, ZvFileWriteMode mode,
                                                std::string* errorMessage);
    /// The name a new version of `fileName` is written under beside it
    /// before it is put in place: part.tmp.ext for part.ext.
    static FileName temporaryName(FileName fileName);
    /// True for a name temporaryName gives (of any file).
    static bool isTemporaryName(const FileName& fileName);
    /// The name to write to: `fileName` itself, except for an Overwrite of an
    /// existing file, which is written beside it as part.tmp.ext (a file left
    /// under that name is removed first). Throws the FileNameException of a
    /// failed removal; nothing is undone.
    [[nodiscard]] static FileName prepareFileName(const FileName& fileName, ZvFileWriteMode mode);
    /// Call as restoreFileName(target, temporary, mode) with the name
    /// prepareFileName returned as `temporary`. For an Overwrite whose names
    /// differ, puts the temporary file in the target's place and returns
    /// whether that worked; otherwise returns true and does nothing. A failed
    /// replacement is reported as false, never raised; the temporary file is
    /// then left as the file system left it.
    [[nodiscard]] static bool restoreFileName(const FileName& target, const FileName& temporary,
                                              ZvFileWriteMode mode);
    /// @}

    /// @name Identifier counter
    /// REQUIRES: `handle` is not empty (std::invalid_argument otherwise).
    /// @{

    /// Hands the file's identifier counter to the identifier service, under
    /// the library's identifier lock; (0, 0) when the file has none. When
    /// reading fails, the interface's exception passes through and the
    /// counter is left as it was.
    static void readMaxIdentifierValue(SerializationHandle handle);
    /// Writes the identifier service's next value into the file. Exceptions
    /// of the interface pass through.
    static void updateMaxIdentifierValue(SerializationHandle handle);
    /// @}

    /// @name Metadata
    /// REQUIRES: `handle` is not empty (std::invalid_argument otherwise).
    /// @{

    /// Writes the data revision and its number, the created revision (Overwrite
    /// only; `createdRevision`, or the build's revision when empty), the last
    /// saved revision (the build's), marks an in-place update, and writes the
    /// identifier counter. Returns the build's source revision. Fields written
    /// before an exception stay written.
    static std::string writeMetaData(SerializationHandle handle, const std::string& dataRevision,
                                     std::int32_t dataRevisionNumber, ZvFileWriteMode mode,
                                     std::string createdRevision);
    /// Reads the stored data revision and number into the caller's variables;
    /// a field the file does not hold leaves its variable as it was.
    void getDataRevision(SerializationHandle handle, std::string& dataRevision,
                         std::int32_t& dataRevisionNumber) const;
    /// Asks the interface to add a group; the new group's number is not
    /// kept. Exceptions of the interface pass through.
    void createGroup(SerializationHandle handle);
    /// @}

    /// @name Autosave
    /// @{

    /// The autosave copy's name: part.ext -> part.bak.ext. No disk access;
    /// raises nothing of its own.
    FileName constructAutosaveFileName(const FileName& fileName) const;
    /// Removes the autosave copy of `fileName`. True when one existed and its
    /// removal was attempted, even if the removal failed with
    /// FileNameException (the copy may then remain); false when none existed.
    /// Other exceptions pass through.
    bool deleteAssociatedAutosaveFile(const FileName& fileName);
    /// @}

private:
    PERSISTENCE_ZVFILEIO_NO_EXPORT bool verifyFileVersion(SerializationHandle handle, bool& isCurrent, ProgressHandle progress) const;

    std::shared_ptr<LoadRefactoringMap> m_refactoringMap;
};

} // namespace Zorvan
