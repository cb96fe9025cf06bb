#include "Serialization/EnvVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <mutex>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "FileHandling/Env.h"
#include "FileHandling/FileName.h"
#include "Serialization/PageChecksum.h"
#include "Serialization/SqliteDesignStore.h"

namespace Zorvan::internal {
namespace {

// SQLite's lock bytes, at 1 GiB where every SQLite puts them: a reader
// holds the shared range shared, a writer the reserved byte, a writer
// waiting for the readers to go the pending byte (which keeps new readers
// out), and a committing writer the shared range exclusively.
constexpr std::int64_t kPendingByte = 0x40000000;
constexpr ByteRange kPending{kPendingByte, 1};
constexpr ByteRange kReserved{kPendingByte + 1, 1};
constexpr ByteRange kShared{kPendingByte + 2, 510};

// The error of the last Env call that failed on this thread, until
// SQLite takes its number for sqlite3_system_errno(); 0 when none has.
thread_local int t_lastError = 0;
// The same error with its category, kept to tell what the number means.
thread_local std::error_code t_lastCause;

int failed(const std::error_code& error, int code) {
    t_lastError = error.value();
    t_lastCause = error;
    return code;
}

sqlite3_vfs* systemVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// The name a site's files go by: this prefix, the site's number, its leaf.
constexpr std::string_view kSitePrefix = "zv-site/";

// The sites with a connection open, by number.
struct Sites {
    std::mutex mutex;
    std::map<std::uint64_t, VfsSite*> open;
    std::uint64_t next = 1;

    static Sites& instance() {
        // Never destroyed: a store a host keeps in a static object may close
        // after this function's statics would have been.
        static Sites* const sites = new Sites;
        return *sites;
    }
};

// What a file of a site is to the design.

// The site and role of a name SQLite uses; no site for a name of no site.
struct Named {
    VfsSite* site = nullptr;
    FileRole role = FileRole::Other;
    std::string leaf;
};

} // namespace

// Sets what the VFS learns of a site; the site's members are its own.
struct VfsAccess {
    static Named named(const char* name) {
        const std::string_view whole = name != nullptr ? name : "";
        if (!whole.starts_with(kSitePrefix)) {
            return {};
        }
        const std::string_view rest = whole.substr(kSitePrefix.size());
        const std::size_t slash = rest.find('/');
        std::uint64_t number = 0;
        if (slash == std::string_view::npos ||
            std::from_chars(rest.data(), rest.data() + slash, number).ptr != rest.data() + slash) {
            return {};
        }
        Sites& sites = Sites::instance();
        const std::lock_guard lock(sites.mutex);
        const auto found = sites.open.find(number);
        if (found == sites.open.end()) {
            return {};
        }
        VfsSite* site = found->second;
        std::string leaf(rest.substr(slash + 1));
        const FileRole role = site->roleOf(leaf);
        return {site, role, std::move(leaf)};
    }
    static int refuse(VfsSite& site, FileErrc kind, const std::string& leaf,
                      std::optional<std::uint32_t> owner, int code) {
        site.m_refusal = VfsRefusal{kind, leaf, owner};
        return code;
    }
    static std::optional<FileFacts>& design(VfsSite& site) { return site.m_design; }
    static std::optional<FileIdentity>& journal(VfsSite& site) { return site.m_journal; }
    static std::string enter(VfsSite& site) {
        Sites& sites = Sites::instance();
        const std::lock_guard lock(sites.mutex);
        const std::uint64_t number = sites.next++;
        sites.open.emplace(number, &site);
        return std::string(kSitePrefix) + std::to_string(number) + "/" + site.leaf();
    }
    static void leave(const VfsSite& site) {
        Sites& sites = Sites::instance();
        const std::lock_guard lock(sites.mutex);
        std::erase_if(sites.open, [&](const auto& entry) { return entry.second == &site; });
    }
};

namespace {

// A design or journal open through the Env.
struct Open {
    VfsSite* site = nullptr;
    FileRole role = FileRole::Design;
    EnvHandle file;
    int level = SQLITE_LOCK_NONE;
    bool reserved = false;
    bool pending = false;
    // A journal opened to be written: its name reaches the disk with its first flush.
    bool syncFolder = false;
    // The design's reserved bytes per page (header byte 20) as last read or
    // written: whether its pages carry checksums. Unknown before then.
    std::optional<unsigned char> reserveBytes;

    Env& env() const { return site->folder().env(); }
    const EnvHandle& folder() const { return site->folder().handle(); }
    const std::string& leaf() const { return role == FileRole::Design ? site->leaf() : site->journalName(); }
};

// What SQLite allocates for each file (szOsFile bytes).
struct EnvFile {
    sqlite3_file base;
    Open* open;
};

Open& of(sqlite3_file* file) { return *reinterpret_cast<EnvFile*>(file)->open; }

int take(Open& open, ByteRange range, Env::Lock kind) {
    const std::error_code error = open.env().lock(open.file, range, kind);
    if (!error) {
        return SQLITE_OK;
    }
    return means(error, std::errc::resource_unavailable_try_again) ? SQLITE_BUSY : failed(error, SQLITE_IOERR_LOCK);
}

void release(Open& open, ByteRange range) { (void)open.env().lock(open.file, range, Env::Lock::Unlocked); }

// Where a design's header says how many bytes each page keeps reserved.
constexpr std::size_t kReservedAt = 20;

// Whether `amount` bytes at `offset` are one whole page of a design: SQLite
// reads and writes a design's pages whole, and its header in parts.
bool isPage(std::size_t amount, sqlite3_int64 offset) {
    const bool pageSize = amount >= 512 && amount <= 65536 && (amount & (amount - 1)) == 0;
    return pageSize && offset % static_cast<sqlite3_int64>(amount) == 0;
}

// Learns from bytes of the design at `offset` (as read or as written)
// whether its pages carry checksums.
void learnReserved(Open& open, std::span<const unsigned char> bytes, sqlite3_int64 offset) {
    if (open.role == FileRole::Design && offset == 0 && bytes.size() > kReservedAt) {
        open.reserveBytes = bytes[kReservedAt];
    }
}

// Whether a page read of the design holds what was written to it. A design
// written before checksums (no reserved bytes) has none to check; one whose
// pages keep reserved bytes of another size was changed by another program
// since this software wrote it, and its pages cannot be trusted.
//
// A page that fails is SQLite's corruption error, not an input/output
// error: the pager hands a failed read back through the statement that
// asked for the page without putting the connection into its error state,
// and the store tells the damage from a disk's failure by the code alone.
int checkPage(const Open& open, std::span<const unsigned char> page, sqlite3_int64 offset) {
    if (open.role != FileRole::Design || !open.reserveBytes || *open.reserveBytes == 0 || !isPage(page.size(), offset)) {
        return SQLITE_OK;
    }
    return *open.reserveBytes == kPageChecksumBytes && pageChecksumHolds(page) ? SQLITE_OK : SQLITE_CORRUPT;
}

int xRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Open& open = of(file);
    const std::span<char> into(static_cast<char*>(buffer), static_cast<std::size_t>(amount));
    std::size_t got = 0;
    if (const std::error_code error = open.env().read(open.file, static_cast<std::uint64_t>(offset), into, got)) {
        return failed(error, SQLITE_IOERR_READ);
    }
    if (got < into.size()) {
        // Beyond the end: SQLite takes it for zeros, and so is no page written.
        std::fill(into.begin() + static_cast<std::ptrdiff_t>(got), into.end(), '\0');
        return SQLITE_IOERR_SHORT_READ;
    }
    const std::span<const unsigned char> bytes(static_cast<const unsigned char*>(buffer), into.size());
    learnReserved(open, bytes, offset);
    return checkPage(open, bytes, offset);
}

// The page `bytes` with its checksum in its last bytes, when the design's
// pages carry checksums; else the bytes as they are.
std::span<const char> withChecksum(Open& open, std::span<const char> bytes, sqlite3_int64 offset) {
    const std::span<const unsigned char> raw(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    learnReserved(open, raw, offset);
    if (!open.reserveBytes && open.role == FileRole::Design) {
        open.reserveBytes = open.site->expectedReserved();
    }
    if (open.role != FileRole::Design || open.reserveBytes != kPageChecksumBytes || !isPage(bytes.size(), offset)) {
        return bytes;
    }
    // SQLite's page is not ours to change: the sum goes into a copy.
    thread_local std::vector<unsigned char> page;
    page.assign(raw.begin(), raw.end());
    storePageChecksum(page);
    return {reinterpret_cast<const char*>(page.data()), page.size()};
}

int xWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    Open& open = of(file);
    const std::span<const char> bytes =
        withChecksum(open, {static_cast<const char*>(data), static_cast<std::size_t>(amount)}, offset);
    if (const std::error_code error = open.env().write(open.file, static_cast<std::uint64_t>(offset), bytes)) {
        return failed(error, means(error, std::errc::no_space_on_device) ? SQLITE_FULL : SQLITE_IOERR_WRITE);
    }
    return SQLITE_OK;
}

int xTruncate(sqlite3_file* file, sqlite3_int64 size) {
    Open& open = of(file);
    const std::error_code error = open.env().truncate(open.file, static_cast<std::uint64_t>(size));
    return error ? failed(error, SQLITE_IOERR_TRUNCATE) : SQLITE_OK;
}

int xSync(sqlite3_file* file, int) {
    Open& open = of(file);
    if (const std::error_code error = open.env().sync(open.file)) {
        return failed(error, SQLITE_IOERR_FSYNC);
    }
    if (open.syncFolder) {
        open.syncFolder = false;
        // A file system that cannot flush a folder (EINVAL) has nothing to lose.
        if (const std::error_code error = open.env().sync(open.folder());
            error && !means(error, std::errc::invalid_argument)) {
            return failed(error, SQLITE_IOERR_DIR_FSYNC);
        }
    }
    return SQLITE_OK;
}

int xFileSize(sqlite3_file* file, sqlite3_int64* size) {
    Open& open = of(file);
    FileFacts facts;
    if (const std::error_code error = open.env().facts(open.file, facts)) {
        return failed(error, SQLITE_IOERR_FSTAT);
    }
    *size = static_cast<sqlite3_int64>(facts.size);
    return SQLITE_OK;
}

// SQLite asks for SHARED, RESERVED (holding SHARED) or EXCLUSIVE (holding
// SHARED or RESERVED), never for PENDING, which this takes on the way to
// EXCLUSIVE and keeps when the readers are not gone yet.
int xLock(sqlite3_file* file, int level) {
    Open& open = of(file);
    if (open.level >= level) {
        return SQLITE_OK;
    }
    if (level == SQLITE_LOCK_SHARED) {
        // Through the pending byte: no new reader while a writer waits.
        if (const int result = take(open, kPending, Env::Lock::Shared)) {
            return result;
        }
        const int result = take(open, kShared, Env::Lock::Shared);
        release(open, kPending);
        open.level = result == SQLITE_OK ? SQLITE_LOCK_SHARED : open.level;
        return result;
    }
    if (level == SQLITE_LOCK_RESERVED) {
        const int result = take(open, kReserved, Env::Lock::Exclusive);
        open.reserved = result == SQLITE_OK;
        open.level = open.reserved ? SQLITE_LOCK_RESERVED : open.level;
        return result;
    }
    if (!open.pending) {
        if (const int result = take(open, kPending, Env::Lock::Exclusive)) {
            return result;
        }
        open.pending = true;
        open.level = SQLITE_LOCK_PENDING;
    }
    // Windows turns no shared lock of a handle into an exclusive one: let
    // it go and take the range whole, or the shared lock back. No reader
    // comes in between while the pending byte is held.
    release(open, kShared);
    const int result = take(open, kShared, Env::Lock::Exclusive);
    if (result == SQLITE_OK) {
        open.level = SQLITE_LOCK_EXCLUSIVE;
    } else if (take(open, kShared, Env::Lock::Shared) != SQLITE_OK) {
        return SQLITE_IOERR_LOCK;
    }
    return result;
}

int xUnlock(sqlite3_file* file, int level) {
    Open& open = of(file);
    if (open.level <= level) {
        return SQLITE_OK;
    }
    int result = SQLITE_OK;
    if (open.level == SQLITE_LOCK_EXCLUSIVE || level == SQLITE_LOCK_NONE) {
        release(open, kShared);
        if (level == SQLITE_LOCK_SHARED && take(open, kShared, Env::Lock::Shared) != SQLITE_OK) {
            result = SQLITE_IOERR_RDLOCK;
            level = SQLITE_LOCK_NONE;
        }
    }
    if (open.reserved) {
        release(open, kReserved);
        open.reserved = false;
    }
    if (open.pending) {
        release(open, kPending);
        open.pending = false;
    }
    open.level = level;
    return result;
}

int xClose(sqlite3_file* file) {
    (void)xUnlock(file, SQLITE_LOCK_NONE); // Windows may keep a closed handle's locks a while
    delete &of(file);
    return SQLITE_OK;
}

int xCheckReservedLock(sqlite3_file* file, int* reserved) {
    Open& open = of(file);
    bool locked = open.level >= SQLITE_LOCK_RESERVED;
    if (!locked) {
        if (const std::error_code error = open.env().isLocked(open.file, kReserved, locked)) {
            return failed(error, SQLITE_IOERR_CHECKRESERVEDLOCK);
        }
    }
    *reserved = locked ? 1 : 0;
    return SQLITE_OK;
}

int xFileControl(sqlite3_file* file, int operation, void* argument) {
    if (operation != SQLITE_FCNTL_HAS_MOVED) {
        return SQLITE_NOTFOUND;
    }
    // Moved: the name in the folder no longer holds the file open here.
    Open& open = of(file);
    FileFacts mine;
    FileFacts named;
    if (const std::error_code error = open.env().facts(open.file, mine)) {
        return failed(error, SQLITE_IOERR_FSTAT);
    }
    const std::error_code error = open.env().look(open.folder(), open.leaf(), named);
    if (error && !isAbsent(error)) {
        return failed(error, SQLITE_IOERR_FSTAT);
    }
    *static_cast<int*>(argument) = error || !sameFile(mine.identity, named.identity) ? 1 : 0;
    return SQLITE_OK;
}

int xSectorSize(sqlite3_file*) { return 4096; }

int xDeviceCharacteristics(sqlite3_file*) { return SQLITE_IOCAP_POWERSAFE_OVERWRITE; }

const sqlite3_io_methods kMethods = {
    1, // no shared memory, no memory mapping: no write-ahead log
    xClose, xRead, xWrite, xTruncate, xSync, xFileSize, xLock, xUnlock, xCheckReservedLock, xFileControl,
    xSectorSize, xDeviceCharacteristics,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The errors of opening a name that holds something other than a regular
// file: a link, a folder, a FIFO or a device.
bool isNoRegularFile(const std::error_code& error) {
    return means(error, std::errc::too_many_symbolic_link_levels) || means(error, std::errc::is_a_directory) ||
           means(error, std::errc::operation_not_supported);
}

// The eight bytes that begin a journal's header and end a super-journal
// record: the record's name length, checksum and this magic close the file.
constexpr unsigned char kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};

std::uint32_t bigEndian(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

// Reads exactly `into.size()` bytes at `offset`; false when the file is shorter.
std::error_code readExactly(Env& env, const EnvHandle& file, std::uint64_t offset, std::span<char> into, bool& whole) {
    std::size_t got = 0;
    const std::error_code error = env.read(file, offset, into, got);
    whole = !error && got == into.size();
    return error;
}

// Judges the journal `open` holds before SQLite reads it: one name only, no
// super-journal record, and hot or written only when its owner could have
// written the design.
int judgeJournal(Open& open, const FileFacts& facts, bool writing) {
    VfsSite& site = *open.site;
    const std::optional<FileFacts>& design = VfsAccess::design(site);
    const auto refuse = [&](FileErrc kind) {
        return VfsAccess::refuse(site, kind, open.site->journalName(), facts.owner, SQLITE_CANTOPEN);
    };
    if (facts.links != 1) {
        return refuse(FileErrc::OtherNames);
    }
    char first = 0;
    bool whole = false;
    if (const std::error_code error = readExactly(open.env(), open.file, 0, {&first, 1}, whole)) {
        return failed(error, SQLITE_IOERR_READ);
    }
    const bool hot = whole && isHotJournal(first);
    if ((hot || writing) && (!design || !couldHaveWritten(facts.owner, *design))) {
        return refuse(FileErrc::OtherOwner);
    }
    if (hot && facts.size >= 16) {
        char tail[16];
        if (const std::error_code error = readExactly(open.env(), open.file, facts.size - 16, tail, whole)) {
            return failed(error, SQLITE_IOERR_READ);
        }
        const std::uint32_t length = bigEndian(tail);
        if (whole && std::memcmp(tail + 8, kJournalMagic, 8) == 0 && length > 0 && length <= facts.size - 16) {
            return refuse(FileErrc::SuperJournal);
        }
    }
    return SQLITE_OK;
}

// Why a log or journal `facts` beside the design of `site` is none of the
// design's: other names, or an owner who could not have written the design.
std::optional<FileErrc> foreignness(VfsSite& site, const FileFacts& facts) {
    const std::optional<FileFacts>& design = VfsAccess::design(site);
    if (facts.kind == FileFacts::Kind::Regular && facts.links != 1) {
        return FileErrc::OtherNames;
    }
    if (facts.kind != FileFacts::Kind::Regular || !design || !couldHaveWritten(facts.owner, *design)) {
        return FileErrc::OtherOwner;
    }
    return std::nullopt;
}

// Refuses a write-ahead log found beside the design: a program that has it
// open (it keeps a lock on the log's shared memory) is busy with it;
// another's is no file of the design's; any other holds changes nobody
// finished. This software never keeps one.
int refuseLog(VfsSite& site, const FileFacts& log, int code) {
    const std::string leaf = logName(site.leaf());
    bool inUse = false;
    try {
        inUse = site.folder().isLockedByAnother(site.leaf() + "-shm", 128);
    } catch (const std::exception&) {
    }
    const FileErrc kind = inUse ? FileErrc::Busy : foreignness(site, log).value_or(FileErrc::UnfinishedLog);
    return VfsAccess::refuse(site, kind, leaf, log.owner, code);
}

// Judges the design `open` holds: SQLite could not read one in write-ahead
// mode (bytes 18 and 19 of its header: 2), and would say no more than that
// it cannot open it.
int judgeDesign(Open& open, const FileFacts& facts) {
    char header[20];
    bool whole = false;
    if (const std::error_code error = readExactly(open.env(), open.file, 0, header, whole)) {
        return failed(error, SQLITE_IOERR_READ);
    }
    if (whole && (header[18] == 2 || header[19] == 2)) {
        // A program that has it open in that mode is busy with it.
        FileFacts log;
        if (!open.env().look(open.folder(), logName(open.site->leaf()), log)) {
            return refuseLog(*open.site, log, SQLITE_CANTOPEN);
        }
        return VfsAccess::refuse(*open.site, FileErrc::WriteAheadMode, open.site->leaf(), facts.owner,
                                 SQLITE_CANTOPEN);
    }
    VfsAccess::design(*open.site) = facts;
    return SQLITE_OK;
}

// Refuses the name of a file that is neither a site's design nor its journal.
int refuseOther(const Named& target, const char* name, int code) {
    if (target.site != nullptr) {
        return VfsAccess::refuse(*target.site, FileErrc::OtherFile, name, std::nullopt, code);
    }
    return code;
}

// How SQLite's open flags open a design or a journal through the Env.
OpenOptions optionsFor(int flags, bool journal) {
    OpenOptions options;
    options.access = (flags & SQLITE_OPEN_READWRITE) != 0 ? OpenOptions::Access::ReadWrite : OpenOptions::Access::Read;
    options.creation = (flags & SQLITE_OPEN_CREATE) == 0      ? OpenOptions::Creation::Existing
                       : (flags & SQLITE_OPEN_EXCLUSIVE) != 0 ? OpenOptions::Creation::New
                                                              : OpenOptions::Creation::NewOrExisting;
    options.mode = journal ? 0600 : 0644; // a journal takes its design's access once opened
    return options;
}

// Opens the file `open` stands for. A journal is made new where it can be
// (`made`), so that one made here and not given its design's access is
// removed again. As SQLite does, a design this user may only read opens
// read-only (`flags` then say so), and a write to it then fails as one to a
// read-only database.
std::error_code openFile(Open& open, bool design, int& flags, bool& made) {
    Env& env = open.env();
    const EnvHandle& folder = open.folder();
    OpenOptions options = optionsFor(flags, !design);
    if (!design && options.creation == OpenOptions::Creation::NewOrExisting) {
        OpenOptions fresh = options;
        fresh.creation = OpenOptions::Creation::New;
        const std::error_code error = env.open(folder, open.leaf(), fresh, open.file);
        made = !error;
        options.creation = means(error, std::errc::file_exists) ? OpenOptions::Creation::Existing : options.creation;
    }
    std::error_code error = made ? std::error_code() : env.open(folder, open.leaf(), options, open.file);
    if (means(error, std::errc::permission_denied) && design && options.access == OpenOptions::Access::ReadWrite) {
        // As SQLite does: a design this user may only read opens read-only,
        // and a write to it then fails as one to a read-only database.
        flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
        error = env.open(folder, open.leaf(), OpenOptions{}, open.file);
    }
    return error;
}

// What SQLite is told of a file that could not be opened; a name that holds
// no regular file is refused, for the site to say why.
int unopened(const Open& open, const std::error_code& error) {
    if (isNoRegularFile(error)) {
        (void)VfsAccess::refuse(*open.site, FileErrc::NotRegular, open.leaf(), std::nullopt, SQLITE_CANTOPEN);
    }
    return failed(error, means(error, std::errc::too_many_symbolic_link_levels) ? SQLITE_CANTOPEN_SYMLINK
                                                                           : SQLITE_CANTOPEN);
}

// Gives a journal made here its design's access: whoever may read or write
// the design may roll its journal back.
std::error_code takeDesignAccess(const Open& journal) {
    Env& env = journal.env();
    EnvHandle model;
    std::error_code refused = env.open(journal.folder(), journal.site->leaf(), OpenOptions{}, model);
    if (refused || (refused = env.adoptAccess(journal.file, model))) {
        return refused;
    }
    return {};
}

// Judges the opened file and tells its site what it learnt; a journal made
// here is removed again when it cannot be used.
int settle(Open& open, bool design, bool made, int flags) {
    const auto undo = [&](int result) {
        if (made) {
            open.file = EnvHandle();
            (void)open.env().remove(open.folder(), open.leaf());
        }
        return result;
    };
    FileFacts facts;
    if (const std::error_code looked = open.env().facts(open.file, facts)) {
        return undo(failed(looked, SQLITE_CANTOPEN));
    }
    const bool writing = (flags & SQLITE_OPEN_READWRITE) != 0;
    if (const int judged = design ? judgeDesign(open, facts) : made ? SQLITE_OK : judgeJournal(open, facts, writing);
        judged != SQLITE_OK) {
        return judged;
    }
    if (!design) {
        if (const std::error_code refused = made ? takeDesignAccess(open) : std::error_code()) {
            return undo(failed(refused, SQLITE_CANTOPEN));
        }
        VfsAccess::journal(*open.site) = facts.identity;
        open.syncFolder = (flags & SQLITE_OPEN_CREATE) != 0;
    }
    return SQLITE_OK;
}

// Opens a site's design or its journal: nothing else, and nothing SQLite
// would delete on close.
int xOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    file->pMethods = nullptr;
    const Named target = VfsAccess::named(name);
    const bool design = target.role == FileRole::Design && (flags & SQLITE_OPEN_MAIN_DB) != 0;
    const bool journal = target.role == FileRole::Journal && (flags & SQLITE_OPEN_MAIN_JOURNAL) != 0;
    if (target.site == nullptr || (flags & SQLITE_OPEN_DELETEONCLOSE) != 0 || (!design && !journal)) {
        return refuseOther(target, name, SQLITE_CANTOPEN);
    }
    auto open = std::make_unique<Open>();
    open->site = target.site;
    open->role = target.role;
    bool made = false;
    if (const std::error_code error = openFile(*open, design, flags, made)) {
        return unopened(*open, error);
    }
    if (const int settled = settle(*open, design, made, flags); settled != SQLITE_OK) {
        return settled;
    }
    if (outFlags != nullptr) {
        *outFlags = flags;
    }
    reinterpret_cast<EnvFile*>(file)->open = open.release();
    file->pMethods = &kMethods;
    return SQLITE_OK;
}

// Removes a site's journal, only while its name holds the journal the
// connection opened (or, never opened, one that could be the design's);
// a write-ahead log beside the design is refused, never removed.
int xDelete(sqlite3_vfs*, const char* name, int syncFolder) {
    const Named target = VfsAccess::named(name);
    if (target.site == nullptr || (target.role != FileRole::Journal && target.role != FileRole::Log)) {
        return refuseOther(target, name, SQLITE_IOERR_DELETE);
    }
    VfsSite& site = *target.site;
    Env& env = site.folder().env();
    const EnvHandle& folder = site.folder().handle();
    std::optional<FileIdentity>& journal = VfsAccess::journal(site);
    std::optional<FileIdentity> removed = target.role == FileRole::Journal ? journal : std::nullopt;
    if (!removed) {
        FileFacts facts;
        if (const std::error_code error = env.look(folder, target.leaf, facts)) {
            return isAbsent(error) ? SQLITE_IOERR_DELETE_NOENT : failed(error, SQLITE_IOERR_DELETE);
        }
        if (target.role == FileRole::Log) {
            return refuseLog(site, facts, SQLITE_IOERR_DELETE);
        }
        if (const std::optional<FileErrc> foreign = foreignness(site, facts)) {
            return VfsAccess::refuse(site, *foreign, target.leaf, facts.owner, SQLITE_IOERR_DELETE);
        }
        removed = facts.identity;
    }
    if (const std::error_code error = env.removeIf(folder, target.leaf, *removed)) {
        return isAbsent(error) ? SQLITE_IOERR_DELETE_NOENT : failed(error, SQLITE_IOERR_DELETE);
    }
    journal.reset();
    // synchronous=EXTRA: a commit is done once its journal's removal is on
    // the disk. A folder that cannot be flushed fails nothing: the removal
    // is done, as after a save's rename.
    if (syncFolder != 0) {
        (void)env.sync(folder);
    }
    return SQLITE_OK;
}

int xAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
    *result = 0;
    const Named target = VfsAccess::named(name);
    if (target.site == nullptr || target.role == FileRole::Other) {
        return refuseOther(target, name, SQLITE_IOERR_ACCESS);
    }
    VfsSite& site = *target.site;
    Env& env = site.folder().env();
    const EnvHandle& folder = site.folder().handle();
    FileFacts facts;
    // Only nothing at the name is no file: a journal that cannot be looked
    // at may be a hot one.
    if (const std::error_code error = env.look(folder, target.leaf, facts)) {
        return isAbsent(error) ? SQLITE_OK : failed(error, SQLITE_IOERR_ACCESS);
    }
    if (target.role == FileRole::Log) {
        return refuseLog(site, facts, SQLITE_IOERR_ACCESS);
    }
    switch (flags) {
    case SQLITE_ACCESS_EXISTS:
        // An empty journal is none, as SQLite's unix VFS has it.
        *result = facts.kind != FileFacts::Kind::Regular || facts.size > 0;
        break;
    case SQLITE_ACCESS_READWRITE:
        if (const std::error_code refused = env.mayWrite(folder, target.leaf)) {
            if (!isDenied(refused)) {
                return failed(refused, SQLITE_IOERR_ACCESS);
            }
        } else {
            *result = 1;
        }
        break;
    default:
        *result = 1;
    }
    return SQLITE_OK;
}

// A site's name is its full name: nothing is resolved against the working
// folder, and a name of no site opens nothing.
int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    const std::string_view whole(name);
    if (VfsAccess::named(name).site == nullptr || whole.size() >= static_cast<std::size_t>(size)) {
        return SQLITE_CANTOPEN;
    }
    std::memcpy(out, whole.data(), whole.size());
    out[whole.size()] = '\0';
    return SQLITE_OK;
}

void* xDlOpen(sqlite3_vfs* vfs, const char* name) { return systemVfs(vfs)->xDlOpen(systemVfs(vfs), name); }
void xDlError(sqlite3_vfs* vfs, int size, char* message) { systemVfs(vfs)->xDlError(systemVfs(vfs), size, message); }
void (*xDlSym(sqlite3_vfs* vfs, void* library, const char* symbol))(void) {
    return systemVfs(vfs)->xDlSym(systemVfs(vfs), library, symbol);
}
void xDlClose(sqlite3_vfs* vfs, void* library) { systemVfs(vfs)->xDlClose(systemVfs(vfs), library); }
int xRandomness(sqlite3_vfs* vfs, int size, char* out) {
    return systemVfs(vfs)->xRandomness(systemVfs(vfs), size, out);
}
int xSleep(sqlite3_vfs* vfs, int microseconds) { return systemVfs(vfs)->xSleep(systemVfs(vfs), microseconds); }
int xCurrentTime(sqlite3_vfs* vfs, double* now) { return systemVfs(vfs)->xCurrentTime(systemVfs(vfs), now); }
int xGetLastError(sqlite3_vfs* vfs, int size, char* message) {
    const int error = std::exchange(t_lastError, 0);
    return error != 0 ? error : systemVfs(vfs)->xGetLastError(systemVfs(vfs), size, message);
}
int xCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
    sqlite3_vfs* system = systemVfs(vfs);
    if (system->iVersion >= 2 && system->xCurrentTimeInt64 != nullptr) {
        return system->xCurrentTimeInt64(system, now);
    }
    double days = 0;
    const int result = system->xCurrentTime(system, &days);
    *now = static_cast<sqlite3_int64>(days * 86400000.0);
    return result;
}

sqlite3_vfs* registered() {
    static sqlite3_vfs* const vfs = [] {
        static sqlite3_vfs instance{};
        sqlite3_vfs* system = sqlite3_vfs_find(nullptr);
        instance.iVersion = 2;
        instance.szOsFile = static_cast<int>(sizeof(EnvFile));
        instance.mxPathname = system->mxPathname;
        instance.zName = "zv-env";
        instance.pAppData = system;
        instance.xOpen = xOpen;
        instance.xDelete = xDelete;
        instance.xAccess = xAccess;
        instance.xFullPathname = xFullPathname;
        instance.xDlOpen = xDlOpen;
        instance.xDlError = xDlError;
        instance.xDlSym = xDlSym;
        instance.xDlClose = xDlClose;
        instance.xRandomness = xRandomness;
        instance.xSleep = xSleep;
        instance.xCurrentTime = xCurrentTime;
        instance.xGetLastError = xGetLastError;
        instance.xCurrentTimeInt64 = xCurrentTimeInt64;
        sqlite3_vfs_register(&instance, /*makeDflt=*/0);
        return &instance;
    }();
    return vfs;
}

} // namespace

VfsSite::VfsSite(Site site)
    : m_site(std::move(site)),
      m_journalName(SqliteDesignStore::journalPath(m_site.leaf)),
      m_name(VfsAccess::enter(*this)) {}

VfsSite::~VfsSite() { VfsAccess::leave(*this); }

bool couldHaveWritten(std::optional<std::uint32_t> owner, const FileFacts& design) {
    if (!owner || !design.owner || *owner == *design.owner || *owner == 0) {
        return true;
    }
    constexpr std::uint32_t kGroupWrite = 0020;
    return (design.mode & kGroupWrite) != 0 && design.group && isMemberOf(*owner, *design.group);
}

const char* envVfs() { return registered()->zName; }

int envVfsMaxPath() { return registered()->mxPathname; }

std::error_code envVfsCause(int system) {
    return system != 0 && t_lastCause.value() == system ? t_lastCause : std::error_code(system, std::system_category());
}

} // namespace Zorvan::internal
