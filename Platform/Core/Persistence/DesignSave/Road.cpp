#include "Platform/Core/Persistence/DesignSave/Road.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "FileHandling/Env.h"
#include "FileHandling/FileUtilities.h"
#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Translation/Substitute.h"
#include "Translation/Translator.h"

namespace Zorvan::road {

const char* const kCannotSave = ZV_TRANSLATE_NOOP("DesignSave", "cannot save %1: %2");
const char* const kCannotOpen = ZV_TRANSLATE_NOOP("DesignSave", "cannot open %1: %2");
const char* const kCannotCopy = ZV_TRANSLATE_NOOP("DesignSave", "cannot write the autosave copy of %1: %2");
const char* const kCannotUpdate = ZV_TRANSLATE_NOOP("DesignSave", "cannot update %1 in place: %2");
const char* const kCannotDeleteCopy = ZV_TRANSLATE_NOOP("DesignSave", "cannot delete the autosave copy of %1: %2");
const char* const kCannotOpenCopy = ZV_TRANSLATE_NOOP("DesignSave", "cannot open the autosave copy of %1: %2");
const char* const kCannotLookForCopy = ZV_TRANSLATE_NOOP("DesignSave", "cannot look for an autosave copy of %1: %2");
const char* const kCannotRecover = ZV_TRANSLATE_NOOP("DesignSave", "cannot recover the autosave copy of %1: %2");

namespace {

// A save of a design this process is autosaving waits this long at least
// for the autosave to give way. It does so at its next call, which a slow
// or busy disk may put off for seconds (a commit that flushes the copy):
// only an autosave that never calls again keeps a save waiting this long.
std::error_code condition(std::errc e) { return std::make_error_code(e); }

// The most bytes a save adds to a design's leaf name: its journal
// ("part.zvd-journal") for an update in place, the temporary autosave copy
// ("part.bak.tmp.zvd"); a rewrite's temporary file ("part.tmp.zvd") is shorter.
std::size_t longestSuffix() {
    const std::string leaf = "part.zvd";
    const std::string copy = ZvFileIO::temporaryName(ZvFileIO().constructAutosaveFileName(leaf)).getLeafName();
    return std::max(SqliteDesignStore::journalPath(leaf).size(), copy.size()) - leaf.size();
}

// Why a link `owner` planted is not followed.
std::string protectedLink(const std::string& owner) {
    return substitute(translate("DesignSave",
                                "it is a symbolic link of %1 in a folder everybody may write to, which the system "
                                "does not follow for another user."),
                      {owner});
}

// The sentence for a file beside the design that would change it, or a
// link the kernel would not follow to it.
std::string foreignFile(const FileError& e, FileErrc wrong) {
    switch (wrong) {
    case FileErrc::UnfinishedLog:
        return substitute(translate("DesignSave",
                                    "%1 beside it holds changes another program did not finish; open the design with "
                                    "that program to finish them, or remove %1 to drop them."),
                          {quoted(e.path())});
    case FileErrc::OtherOwner:
        return substitute(translate("DesignSave",
                                    "%1 beside it belongs to %2, who may not write the design, and would change "
                                    "it; both are left as they are."),
                          {quoted(e.path()), e.subject()});
    case FileErrc::OtherNames:
        return substitute(translate("DesignSave", "%1 beside it has other names too, and writing it would change "
                                                  "another file; both are left as they are."),
                          {quoted(e.path())});
    case FileErrc::SuperJournal:
        return substitute(translate("DesignSave",
                                    "%1 beside it names other files to change with the design, which no save of a "
                                    "design does; both are left as they are."),
                          {quoted(e.path())});
    case FileErrc::WriteAheadMode:
        return translate("DesignSave",
                         "another program switched it to write-ahead logging, which this software does not read or "
                         "write; it is left as it is.");
    default:
        return protectedLink(e.subject());
    }
}


std::string busyWriting() {
    return translate("DesignSave", "another program is writing it; try again when it is done.");
}

std::string savingElsewhere() {
    return translate("DesignSave", "another program is saving it; try again when it is done.");
}

} // namespace

std::string quoted(const std::string& file) { return "'" + file + "'"; }

std::string thisProgram() {
    return translate("DesignSave", "this program is saving or autosaving it already; try again when that save has "
                                   "ended.");
}

std::string translate(const char* context, const char* sourceText) {
    return Translator::translate(context, sourceText, nullptr, -1);
}

void refuse(const char* cannot, const std::string& file, const std::string& why, DesignRefusal reason,
            std::optional<std::error_code> cause) {
    throw DesignRefusedException(substitute(translate("DesignSave", cannot), {quoted(file), why}), reason, cause);
}

namespace {

// Which of a save's files the file service's `path` is, told by the names
// the save gives its files; the store and the lock say it themselves.
FileRole roleOfName(const std::string& path) {
    const std::string leaf = FileName(path).getLeafName();
    return leaf.ends_with(SqliteDesignStore::journalPath("")) ? FileRole::Journal
           : ZvFileIO::isTemporaryName(FileName(path))         ? FileRole::NewVersion
           : leaf.find(".bak.") != std::string::npos           ? FileRole::AutosaveCopy
           : leaf.find('.') == std::string::npos               ? FileRole::Folder
                                                               : FileRole::Design;
}

// The sentence for the system's failure `code` on the file of a save that
// is `role` to it.
std::string failedFile(FileRole role, const std::error_code& code) {
    const std::string why = describe(code);
    if (means(code, std::errc::illegal_byte_sequence) || means(code, std::errc::filename_too_long)) {
        return why + "."; // a name no file can have on this system: no file failed
    }
    switch (role) {
    case FileRole::Journal:
        return substitute(translate("DesignSave", "the system failed to write its journal beside it (%1); the "
                                                  "design is left as it was."),
                          {why});
    case FileRole::NewVersion:
        return substitute(translate("DesignSave", "the system failed to write its new version beside it (%1); the "
                                                  "design is left as it was."),
                          {why});
    case FileRole::AutosaveCopy:
        return substitute(translate("DesignSave", "the system failed to write or remove its autosave copy (%1)."),
                          {why});
    case FileRole::Folder:
        return substitute(translate("DesignSave", "the system failed to read or write its folder (%1)."), {why});
    default:
        return substitute(translate("DesignSave", "the system failed to read or write it (%1)."), {why});
    }
}

// Whether the file of `e` is one beside the design that is in its way (a
// FIFO at its journal's name), not the design or a file the save made.
bool inTheWay(const FileError& e) {
    return e.role() == FileRole::Journal || e.role() == FileRole::Log || e.role() == FileRole::Other;
}

// The sentence for the system's refusal `code` of this user on the file of
// a save that is `role` to it: a permission, or a file system mounted
// read-only. Whatever the road, the user can do nothing about it but ask
// for the permission.
std::string deniedFile(FileRole role, const std::error_code& code) {
    const std::string why = describe(code);
    switch (role) {
    case FileRole::Journal:
    case FileRole::Log:
    case FileRole::NewVersion:
        return substitute(translate("DesignSave", "this user may not write the files a save keeps beside it (%1); the "
                                                  "design is left as it was."),
                          {why});
    case FileRole::AutosaveCopy:
        return substitute(translate("DesignSave", "this user may not read or write its autosave copy (%1)."), {why});
    case FileRole::Folder:
        return substitute(translate("DesignSave", "this user may not read or enter its folder (%1)."), {why});
    default:
        // SQLite refuses a reader that would have to write: the journal of
        // an update cut short is played back before the design is read.
        return code.category() == designStoreCategory()
                   ? translate("DesignSave", "an update of it was cut short, and only a user who may write it can "
                                             "undo that before it is read.")
                   : substitute(translate("DesignSave", "this user may not read it (%1)."), {why});
    }
}

// The sentence for what the store found wrong with the file of `e` itself.
std::string badFile(const FileError& e, FileErrc wrong) {
    switch (wrong) {
    case FileErrc::NotRegular:
        return inTheWay(e) ? substitute(translate("DesignSave", "%1 is in the way beside it (not a regular file)."),
                                        {quoted(e.path())})
                           : translate("DesignSave", "it is not a regular file.");
    case FileErrc::OtherFile:
        return substitute(translate("DesignSave", "it asks for %1, which a design never uses; it is left as it is."),
                          {quoted(e.path())});
    case FileErrc::NotEmpty:
        return translate("DesignSave", "its new version beside it was not empty when it was made; the design is "
                                       "left as it was.");
    case FileErrc::Closed:
    case FileErrc::ReadOnly:
        return translate("DesignSave", "the design store was used after it was closed or for a write it was not "
                                       "opened for.");
    case FileErrc::NotADesign:
        return translate("DesignSave", "it is not a design file.");
    default:
        return translate("DesignSave", "it is damaged or not a design file.");
    }
}

// What a refusal says of the failure `e` below the road: its reason (a
// failure of the store on what the file holds counts as `otherwise`), the
// sentence in the user's language, and the cause handed on.
struct Said {
    DesignRefusal reason;
    std::string why;
    std::optional<std::error_code> cause;
};

// What the store found wrong itself, also where SQLite's code says it.
std::optional<FileErrc> foundWrong(const std::error_code& code) {
    if (code.category() == fileErrorCategory()) {
        return static_cast<FileErrc>(code.value());
    }
    for (const FileErrc known : {FileErrc::Duplicate, FileErrc::NotADesign, FileErrc::Damaged}) {
        if (is(code, known)) {
            return known;
        }
    }
    return std::nullopt;
}

Said said(const FileError& e, DesignRefusal otherwise) {
    const std::error_code& code = e.code();
    if (code == FileErrc::HeldOpen) {
        return {DesignRefusal::Busy,
                translate("DesignSave", "another program has it open and keeps it from being written; try again when "
                                        "it is closed."),
                condition(std::errc::device_or_resource_busy)};
    }
    if (means(code, std::errc::device_or_resource_busy)) {
        return {DesignRefusal::Busy, e.role() == FileRole::Lock ? savingElsewhere() : busyWriting(), code};
    }
    if (means(code, std::errc::too_many_symbolic_link_levels)) {
        return {DesignRefusal::Missing,
                translate("DesignSave", "its symbolic links lead round in a circle to no file."), code};
    }
    if ((e.role() == FileRole::Design || e.role() == FileRole::Lock) &&
        means(code, std::errc::no_such_file_or_directory)) {
        return {DesignRefusal::Missing, translate("DesignSave", "it does not exist."), code};
    }
    // SQLite's own READONLY and PERM are the system's refusal too.
    if (isDenied(code)) {
        return {DesignRefusal::ReadOnly, deniedFile(e.role(), code), code};
    }
    if (bySystem(code)) {
        return {DesignRefusal::Failed, failedFile(e.role(), code), code};
    }
    const std::optional<FileErrc> found = foundWrong(code);
    if (found == FileErrc::Damaged) {
        return {DesignRefusal::Damaged,
                translate("DesignSave", "it is damaged (what it holds is not what was saved, or contradicts itself); "
                                        "what can still be read of it can be salvaged."),
                code};
    }
    // Any other code of SQLite's: the file may hold no design at all.
    const FileErrc wrong = found.value_or(FileErrc::Damaged);
    switch (wrong) {
    case FileErrc::UnfinishedLog:
    case FileErrc::OtherOwner:
    case FileErrc::OtherNames:
    case FileErrc::SuperJournal:
    case FileErrc::WriteAheadMode:
    case FileErrc::ProtectedLink:
        return {DesignRefusal::ForeignFile, foreignFile(e, wrong), std::nullopt};
    case FileErrc::NotRegular:
        // As the road's own look at the name says it, whatever looked.
        return inTheWay(e) ? Said{DesignRefusal::ForeignFile, badFile(e, wrong), std::nullopt}
                           : Said{DesignRefusal::NotRegularFile, badFile(e, wrong),
                                  condition(std::errc::invalid_argument)};
    case FileErrc::Duplicate:
        return {DesignRefusal::Failed,
                substitute(translate("DesignSave", "two of its objects have the identity %1; nothing was saved."),
                           {e.subject()}),
                code};
    default:
        return {otherwise, badFile(e, wrong), code};
    }
}

} // namespace

bool bySystem(const std::error_code& code) {
    if (code.category() == fileErrorCategory() || means(code, std::errc::device_or_resource_busy)) {
        return false;
    }
    return code.category() != designStoreCategory() || means(code, std::errc::io_error) ||
           means(code, std::errc::no_space_on_device) || means(code, std::errc::not_enough_memory) ||
           means(code, std::errc::permission_denied);
}

void refuseFailure(const char* cannot, const std::string& file, const FileNameException& e) {
    const FileRole role = roleOfName(e.path());
    const std::error_code& code = e.code();
    if (isDenied(code)) {
        refuse(cannot, file, deniedFile(role, code), DesignRefusal::ReadOnly, code);
    }
    refuse(cannot, file, code ? failedFile(role, code) : std::string(e.what()) + ".", DesignRefusal::Failed, code);
}

void refuseFailure(const char* cannot, const std::string& file, const FileError& e, DesignRefusal otherwise) {
    const Said s = said(e, otherwise);
    refuse(cannot, file, s.why, s.reason, s.cause);
}

namespace {

// Why no file may have the name `name` (a fault nativeName found).
std::string unusable(const NativeName& name) {
    switch (name.fault) {
    case NativeName::Fault::Device:
        return substitute(translate("DesignSave", "Windows keeps the name %1 for a device, whatever its extension; "
                                                  "choose another name."),
                          {quoted(name.part)});
    case NativeName::Fault::Stream:
        return substitute(translate("DesignSave", "Windows would take %1 for a stream of another file; a name may "
                                                  "hold a colon only after its drive."),
                          {quoted(name.part)});
    default:
        break;
    }
    return static_cast<unsigned char>(name.part[0]) < 32
               ? substitute(translate("DesignSave", "its name holds the control character %1, which Windows does "
                                                    "not allow in names."),
                            {std::to_string(static_cast<int>(name.part[0]))})
               : substitute(translate("DesignSave", "its name holds %1; Windows allows none of < > | ? * \" in "
                                                    "names."),
                            {quoted(name.part)});
}

} // namespace

std::string usableName(const char* cannot, const std::string& file) {
    NativeName name = nativeName(file);
    if (name.fault != NativeName::Fault::None) {
        refuse(cannot, file, unusable(name), DesignRefusal::UnusableName, condition(std::errc::invalid_argument));
    }
    return std::move(name.path);
}

namespace {

// Refuses a name (`target`, which the links of `file` lead to at
// `resolvedPath`) too long for the files a save puts beside it: in its
// folder, or as a path the store opens (`tooLong`: longer than any path).
void requireRoomBeside(const char* cannot, const std::string& file, const std::string& target,
                       const std::string& resolvedPath, bool tooLong) {
    const std::size_t limit = maxLeafNameLength(target);
    const std::size_t suffix = longestSuffix();
    if (FileName(target).getLeafName().size() + suffix > limit) {
        refuse(cannot, file,
               substitute(translate("DesignSave",
                                    "its name is too long; this folder takes names of up to %1 bytes, and a "
                                    "design's name may have at most %2 to leave room for its temporary files."),
                          {std::to_string(limit), std::to_string(limit - suffix)}),
               DesignRefusal::NameTooLong, condition(std::errc::filename_too_long));
    }
    const std::size_t longest = SqliteDesignStore::maxPathLength();
    if (tooLong || resolvedPath.size() + suffix >= longest) {
        refuse(cannot, file,
               substitute(translate("DesignSave",
                                    "its full path is too long; designs are opened by paths of up to %1 bytes, "
                                    "with room for their temporary files."),
                          {std::to_string(longest - suffix - 1)}),
               DesignRefusal::NameTooLong, condition(std::errc::filename_too_long));
    }
}

} // namespace

SaveTarget saveTarget(const std::string& file, const char* cannot) {
    ResolvedName resolved;
    ResolvedSite where;
    try {
        resolved = resolveName(file, where);
    } catch (const FileNameException& e) {
        refuseFailure(cannot, file, e);
    }
    switch (resolved.outcome) {
    case ResolvedName::Outcome::Missing:
        refuse(cannot, file, translate("DesignSave", "it is a symbolic link to a file that does not exist."),
               DesignRefusal::Missing, condition(std::errc::no_such_file_or_directory));
    case ResolvedName::Outcome::Loop:
        refuse(cannot, file, translate("DesignSave", "its symbolic links lead round in a circle to no file."),
               DesignRefusal::Missing, condition(std::errc::too_many_symbolic_link_levels));
    case ResolvedName::Outcome::Protected:
        refuse(cannot, file, protectedLink(userName(resolved.linkOwner)), DesignRefusal::ForeignFile);
    case ResolvedName::Outcome::TooLong:
    case ResolvedName::Outcome::Resolved:
        break;
    }
    // A name that is no link keeps the user's spelling (for what the save
    // tells); its folder is held from now on all the same.
    const std::string target = resolved.links > 0 ? resolved.path : file;
    std::shared_ptr<const Folder> folder = where.folder;
    std::optional<FileFacts> there = where.facts;
    try {
        if (!folder) {
            folder = std::make_shared<const Folder>(Folder::holding(FileName(target)));
            there = folder->look(FileName(target).getLeafName());
        }
    } catch (const FileNameException& e) {
        if (!isAbsent(e.code())) { // no folder: nothing there yet, which the checks below say
            refuseFailure(cannot, file, e);
        }
    }
    if (there && there->kind != FileFacts::Kind::Regular) {
        refuse(cannot, file, translate("DesignSave", "it is not a regular file."), DesignRefusal::NotRegularFile,
               condition(std::errc::invalid_argument));
    }
    requireRoomBeside(cannot, file, target, resolved.path, resolved.outcome == ResolvedName::Outcome::TooLong);
    return {target, Site{folder, FileName(target).getLeafName()}};
}

std::shared_ptr<const Folder> holdFolder(const char* cannot, const std::string& file, const FileName& inside,
                                         std::shared_ptr<const Folder> held) {
    try {
        auto folder = held ? std::move(held) : std::make_shared<const Folder>(Folder::holding(inside));
        if (!folder->isWritable()) {
            refuse(cannot, file,
                   substitute(translate("DesignSave",
                                        "its folder %1 cannot be written, and a save needs room beside the design "
                                        "for its own files."),
                              {quoted(folder->path())}),
                   DesignRefusal::ReadOnly, condition(std::errc::permission_denied));
        }
        return folder;
    } catch (const FileNameException& e) {
        refuseFailure(cannot, file, e);
    }
}

void requireSavePossible(const char* cannot, const std::string& file, const std::string& target) {
    std::string reason;
    if (!ZvFileIO::checkSavePossible(target, ZvFileWriteMode::Overwrite, &reason)) {
        const FileName name(target);
        const bool noName = name.getLeafName() == name.getExtension();
        refuse(cannot, file, reason, noName ? DesignRefusal::NoName : DesignRefusal::ReadOnly,
               condition(noName ? std::errc::invalid_argument : std::errc::permission_denied));
    }
}

void requireSavePossible(const char* cannot, const std::string& file, const SaveTarget& target) {
    const FileName name(target.path);
    // A name that names no file is refused before the disk is looked at.
    if (name.getLeafName() == name.getExtension() || !target.site.folder) {
        requireSavePossible(cannot, file, target.path);
        return;
    }
    // The library's rule for a read-only file, asked of the file the save
    // holds. Only a refusal counts: a failure to ask is the save's to meet.
    const Folder& folder = *target.site.folder;
    const bool readOnly = guarded(cannot, file, [&] {
        return folder.look(target.site.leaf) && isDenied(folder.env().mayWrite(folder.handle(), target.site.leaf));
    });
    if (readOnly) {
        refuse(cannot, file,
               Translator::translate("DesignIO", "It is not possible to overwrite a readonly file.", nullptr, -1),
               DesignRefusal::ReadOnly, condition(std::errc::permission_denied));
    }
}

void step(const DesignSaveOptions& options, std::string_view name) {
    if (options.onStep) {
        options.onStep(name);
    }
}

bool designAt(const Site& target, FileIdentity& there) {
    if (!target.folder) {
        return false;
    }
    const auto identityAt = [&](const std::string& leaf) {
        const std::optional<FileFacts> facts = target.folder->look(leaf);
        there = facts ? facts->identity : there;
        return facts.has_value();
    };
    const std::string replacement = ZvFileIO::temporaryName(FileName(target.leaf)).getLeafName();
    const auto until = std::chrono::steady_clock::now() + FileLock::replaceGap();
    for (std::chrono::milliseconds pause{1};; pause = std::min(2 * pause, std::chrono::milliseconds(25))) {
        if (identityAt(target.leaf)) {
            return true;
        }
        if (!target.folder->look(replacement)) {
            // No replace under way, or one that ended since the first look.
            return identityAt(target.leaf);
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        Env::current()->sleepFor(pause);
    }
}

Site designSite(const char* cannot, const std::string& file, const SaveTarget& target) {
    if (target.site.folder) {
        return target.site;
    }
    return guarded(cannot, file, [&] { return siteOf(target.path); });
}

FileLock lockDesign(const char* cannot, const std::string& file, const Site& target, bool create,
                    const DesignSaveOptions& options) {
    FileLock::Options lockOptions;
    lockOptions.create = create;
    lockOptions.wait = options.lockWait;
    if (options.onWait) {
        lockOptions.onWait = options.onWait;
    }
    lockOptions.replacedFrom = ZvFileIO::temporaryName(FileName(target.leaf)).getLeafName();
    try {
        return FileLock::acquire(target, lockOptions);
    } catch (const FileError& e) {
        // A lock this process holds is a save of this program's.
        try {
            const std::optional<FileFacts> facts = target.folder->look(target.leaf);
            if (facts && Sessions::instance().underWay(facts->identity)) {
                refuse(cannot, file, thisProgram(), DesignRefusal::Busy, condition(std::errc::device_or_resource_busy));
            }
        } catch (const FileNameException&) {
        }
        refuseFailure(cannot, file, e);
    } catch (const FileNameException& e) {
        refuseFailure(cannot, file, e);
    }
}

namespace {

// Refuses the design at `path` (`held`, when given) that the store could not
// open for `e`: a file that is not there, the system's failure, another
// program's lock, a file beside it, or a file that holds no design.
[[noreturn]] void refuseOpening(const char* cannot, const std::string& file, const std::string& path,
                                const Site* held, const FileError& e) {
    const Said s = said(e, DesignRefusal::NotADesign);
    const auto exists = [&] {
        FileIdentity there;
        return held ? held->folder->look(held->leaf).has_value() : identityOf(FileName(path), there);
    };
    // A name no file can have on this system holds nothing; SQLite cannot
    // open what is not there.
    if (bySystem(e.code()) ? isAbsent(e.code())
                           : s.reason == DesignRefusal::NotADesign && !guarded(cannot, file, exists)) {
        refuse(cannot, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing,
               bySystem(e.code()) ? e.code() : condition(std::errc::no_such_file_or_directory));
    }
    refuse(cannot, file, s.why, s.reason, s.cause);
}

// Reads what the opened design says of itself: the metadata, and the
// counter and the object count when `full`.
void readWhatItSays(const char* cannot, const std::string& file, OpenedDesign& opened, bool full) {
    // A disk that fails while the version is read is the store's failure,
    // not a file that holds no version.
    const ZvFileIO io;
    try {
        guarded(cannot, file, [&] {
            opened.readable = io.verifyZVVersion(opened.store, nullptr);
            opened.current = opened.readable && io.isCurrentZVVersion(opened.store);
            opened.store->readFileVersion(opened.version);
            opened.store->readCreatedRevision(opened.createdRevision);
            opened.store->readLastSavedRevision(opened.lastSavedRevision);
            if (full) {
                io.getDataRevision(opened.store, opened.dataRevision, opened.dataRevisionNumber);
                opened.store->readMaxIdentifier(opened.nextIdentifier, opened.identifierDomain);
                opened.objectCount = opened.readable ? opened.store->objectCount() : 0;
            }
        });
    } catch (const FileOpenException& e) {
        refuse(cannot, file, e.what(), DesignRefusal::NotADesign);
    }
    if (opened.version < 0) {
        refuse(cannot, file,
               substitute(translate("DesignSave",
                                    "its format version %1 is not one any version of the software writes; it is "
                                    "left untouched."),
                          {std::to_string(opened.version)}),
               DesignRefusal::NotADesign);
    }
}

} // namespace

std::optional<OpenedDesign> open(const char* cannot, const std::string& file, const std::string& path, bool emptyIsNew,
                                 bool full, const Site* held, bool keepWritersOut) {
    OpenedDesign opened;
    opened.file = file;
    try {
        opened.store = !held            ? SqliteDesignStore::openForReading(path)
                       : keepWritersOut ? SqliteDesignStore::openForRewrite(*held)
                                        : SqliteDesignStore::openForReading(*held);
    } catch (const FileError& e) {
        refuseOpening(cannot, file, path, held, e);
    }
    if (guarded(cannot, file, [&] { return opened.store->isEmpty(); })) {
        if (emptyIsNew) {
            return std::nullopt;
        }
        refuse(cannot, file, translate("DesignSave", "it holds no design yet (its first save did not finish)."),
               DesignRefusal::NoDesignYet);
    }
    readWhatItSays(cannot, file, opened, full);
    opened.versionLine = ZvFileIO::versionLine(opened.version, opened.createdRevision, opened.lastSavedRevision);
    return opened;
}

OpenedDesign openForHost(const char* cannot, const std::string& file, const std::string& path,
                         const DesignOpenOptions& options) {
    const bool editing = options.intent == DesignIntent::Edit;
    // Read first: a file this user may not even read is refused as such,
    // not as one that cannot be overwritten.
    OpenedDesign opened = *open(cannot, file, path, /*emptyIsNew=*/false, /*full=*/true);
    if (editing) {
        // What a save of `file` would refuse before it writes.
        const SaveTarget target = saveTarget(file, cannot);
        requireSavePossible(cannot, file, target);
        (void)holdFolder(cannot, file, FileName(target.path), target.site.folder);
    }
    if (!opened.readable && (editing || !options.lookAtNewer)) {
        if (path != file) { // the autosave copy: the refusal names the design
            refuse(cannot, file,
                   substitute(translate("DesignSave", "it was written by a newer version of the software (file "
                                                      "version %1, this one reads up to %2)."),
                              {std::to_string(opened.version), std::to_string(SqliteDesignStore::kCurrentVersion)}),
                   DesignRefusal::Newer);
        }
        opened.requireReadable();
    }
    opened.file = path;
    guarded(cannot, file, [&] { ZvFileIO::logFileVersionInfo(path, opened.store); });
    if (opened.readable) {
        takeIdentities(file, opened.store);
    }
    // A save of the design by this process ends the handle's reads.
    Sessions::instance().addReader(opened.store->identity(), opened.store);
    return opened;
}

AutosaveOrigin originOf(const FileIdentity& design, const Site& target) {
    // The change counter: header offset 24, four bytes big-endian.
    const std::string header = target.folder->readStart(target.leaf, 28);
    std::uint32_t changes = 0;
    for (std::size_t at = 24; header.size() == 28 && at < 28; ++at) {
        changes = changes << 8 | static_cast<unsigned char>(header[at]);
    }
    return {design.device, design.inode, design.birth, changes};
}

bool sameState(const AutosaveOrigin& a, const AutosaveOrigin& b) {
    return (a.changes == 0 && b.changes == 0) ||
           (sameFile(FileIdentity{a.device, a.inode, a.birth}, FileIdentity{b.device, b.inode, b.birth}) &&
            a.changes == b.changes);
}

namespace {

// Whether the regular file at `copy` is an autosave copy of the design at
// `design` (see lookAtCopy).
bool isCopyOf(const Site& copy, const Site& design) {
    AutosaveOrigin origin;
    std::string named;
    try {
        const std::shared_ptr<SqliteDesignStore> store = SqliteDesignStore::openForReading(copy);
        if (!store->readAutosaveOrigin(origin)) {
            return false;
        }
        if (!store->readAutosaveOriginName(named)) {
            return true;
        }
    } catch (const FileError& e) {
        // A damaged copy is not taken for another file: it says so.
        if (bySystem(e.code()) || means(e.code(), std::errc::device_or_resource_busy) || is(e.code(), FileErrc::Damaged)) {
            throw;
        }
        return false; // it holds no design
    }
    if (sameLeafName(named, design.leaf)) {
        return true;
    }
    const std::optional<FileFacts> now = design.folder ? design.folder->look(design.leaf) : std::nullopt;
    return now && sameFile(FileIdentity{origin.device, origin.inode, origin.birth}, now->identity);
}

} // namespace

AtCopyName lookAtCopy(const Site& copy, const Site& design) {
    AtCopyName at{copy.folder->look(copy.leaf)};
    if (!at.facts || at.facts->kind != FileFacts::Kind::Regular || at.facts->size == 0) {
        return at;
    }
    at.foreign = !isCopyOf(copy, design);
    at.readOnly = !at.foreign && writeProtectionKeepsName() &&
                  isDenied(copy.folder->env().mayWrite(copy.folder->handle(), copy.leaf));
    return at;
}

void requireReplaceable(const char* cannot, const std::string& file, const std::string& copyName,
                        const AtCopyName& at) {
    if (at.foreign) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "%1 at its autosave copy's name is not an autosave copy of it; "
                                                  "rename or move that file."),
                          {quoted(copyName)}),
               DesignRefusal::ForeignFile);
    }
    if (at.readOnly) {
        refuse(cannot, file,
               substitute(translate("DesignSave", "its autosave copy %1 is read-only, and is left as it is; clear "
                                                  "its read-only attribute to let it be replaced or removed."),
                          {quoted(copyName)}),
               DesignRefusal::ReadOnly, condition(std::errc::permission_denied));
    }
}

AtCopyName requireReplaceableCopy(const char* cannot, const std::string& file, const std::string& copyName,
                                  const Site& copy, const Site& design) {
    const AtCopyName at = guarded(cannot, file, [&] { return lookAtCopy(copy, design); });
    requireReplaceable(cannot, file, copyName, at);
    return at;
}

std::optional<FileIdentity> expectedAt(const AtCopyName& at) {
    return at.facts && at.facts->kind == FileFacts::Kind::Regular ? std::optional(at.facts->identity) : std::nullopt;
}

void requireUnclaimed(const char* cannot, const std::string& file, const Site& design) {
    const std::optional<EditorRecord> holder =
        guarded(cannot, file, [&] { return EditClaim::holder(*design.folder, design.leaf); });
    if (holder) {
        refuseClaimed(cannot, file, *holder);
    }
}

void refuseClaimed(const char* cannot, const std::string& file, const EditorRecord& holder) {
    const std::string who =
        holder.user.empty()
            ? translate("DesignSave", "another editor has it open for editing")
            : substitute(translate("DesignSave", "%1 has it open for editing on %2 since %3"),
                         {holder.user, holder.machine.empty() ? "?" : holder.machine,
                          holder.since.empty() ? "?" : holder.since});
    refuse(cannot, file,
           who + translate("DesignSave", "; open it to read instead, or try again once it is closed."),
           DesignRefusal::Claimed);
}

void refuseChangedSinceOpened(const char* cannot, const std::string& file) {
    refuse(cannot, file,
           translate("DesignSave", "another program saved, replaced or removed it since it was opened; save under "
                                   "another name, or overwrite its changes."),
           DesignRefusal::Interfered);
}

void refuseCopyNotPut(const std::string& file) {
    refuse(kCannotCopy, file,
           translate("DesignSave", "another program changed what is at its name, or the copy as it was written; "
                                   "what is there is left as it is."),
           DesignRefusal::Interfered);
}

void takeIdentities(const std::string& file, const std::shared_ptr<SqliteDesignStore>& store) {
    guarded(kCannotOpen, file, [&] {
        ZvFileIO::readMaxIdentifierValue(store);
        Identifier::reserveThrough(store->maxObjectId());
    });
}

Sessions& Sessions::instance() {
    static Sessions sessions;
    return sessions;
}

Sessions::Entry::Entry(const FileIdentity& design, SessionKind kind) {
    Sessions& all = instance();
    const std::lock_guard lock(all.m_mutex);
    m_record = all.m_records.insert(all.m_records.end(), Record{design, kind, std::this_thread::get_id(),
                                                                std::make_shared<std::atomic<bool>>(false)});
}

Sessions::Entry::~Entry() {
    Sessions& all = instance();
    const std::lock_guard lock(all.m_mutex);
    all.m_records.erase(m_record);
}

const std::shared_ptr<std::atomic<bool>>& Sessions::Entry::giveWay() const { return m_record->giveWay; }

void Sessions::Entry::moveTo(const FileIdentity& design) {
    const std::lock_guard lock(instance().m_mutex);
    m_record->design = design;
}

bool Sessions::ofThisThread(const FileIdentity& design) const {
    const std::lock_guard lock(m_mutex);
    return std::any_of(m_records.begin(), m_records.end(), [&](const Record& r) {
        return r.kind == SessionKind::Save && sameFile(r.design, design) && r.thread == std::this_thread::get_id();
    });
}

bool Sessions::underWay(const FileIdentity& design) const {
    const std::lock_guard lock(m_mutex);
    return std::any_of(m_records.begin(), m_records.end(), [&](const Record& r) { return sameFile(r.design, design); });
}

void Sessions::yieldAutosaves(const FileIdentity& design) {
    const std::lock_guard lock(m_mutex);
    for (const Record& r : m_records) {
        if (r.kind == SessionKind::Autosave && sameFile(r.design, design)) {
            r.giveWay->store(true);
        }
    }
}

void Sessions::addReader(const FileIdentity& design, const std::shared_ptr<SqliteDesignStore>& store) {
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_readers, [](const auto& reader) { return reader.second.expired(); });
    m_readers.emplace_back(design, store);
}

std::vector<std::shared_ptr<SqliteDesignStore>> Sessions::readers(const FileIdentity& design) {
    const std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<SqliteDesignStore>> open;
    for (const auto& [file, reader] : m_readers) {
        if (auto store = reader.lock(); store && sameFile(file, design)) {
            open.push_back(std::move(store));
        }
    }
    return open;
}

void requireNotUnderWayHere(const char* cannot, const std::string& file, const FileIdentity& design) {
    if (Sessions::instance().ofThisThread(design)) {
        refuse(cannot, file, thisProgram(), DesignRefusal::Busy, condition(std::errc::device_or_resource_busy));
    }
}

void makeWay(const char* cannot, const std::string& file, const FileIdentity& design) {
    requireNotUnderWayHere(cannot, file, design);
    Sessions::instance().yieldAutosaves(design);
}

} // namespace Zorvan::road

namespace Zorvan {

std::optional<AutosaveOrigin> EditSessionState::known() const {
    const std::lock_guard lock(m_mutex);
    return m_known;
}

std::uint64_t EditSessionState::saves() const {
    const std::lock_guard lock(m_mutex);
    return m_saves;
}

void EditSessionState::saved(const AutosaveOrigin& now) {
    const std::lock_guard lock(m_mutex);
    m_known = now;
    ++m_saves;
}

void EditSessionState::endTokens() {
    const std::lock_guard lock(m_mutex);
    ++m_saves;
}

bool EditSessionState::startAutosave() {
    const std::lock_guard lock(m_mutex);
    return !std::exchange(m_autosaving, true);
}

void EditSessionState::endAutosave() {
    const std::lock_guard lock(m_mutex);
    m_autosaving = false;
}

} // namespace Zorvan::road
