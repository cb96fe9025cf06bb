#include "Serialization/EnvVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "FileHandling/Env.h"
#include "FileHandling/FileName.h"

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

constexpr const char* kJournalSuffix = "-journal";

// The error of the last Env call that failed on this thread, until
// sqlite3_system_errno() takes it; 0 when none has. The whole error stays
// for the store, which reports it with its category: on Windows an errno
// and a system error may have the same number.
thread_local int t_lastError = 0;
thread_local std::error_code t_lastErrorCode;

int failed(const std::error_code& error, int code) {
    t_lastError = error.value();
    t_lastErrorCode = error;
    return code;
}

sqlite3_vfs* systemVfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// A design or journal open through the Env.
struct Open {
    std::shared_ptr<Env> env;
    EnvHandle folder;
    std::string leaf;
    EnvHandle file;
    int level = SQLITE_LOCK_NONE;
    bool reserved = false;
    bool pending = false;
    // A journal opened to be written: its name reaches the disk with its first flush.
    bool syncFolder = false;
};

// What SQLite allocates for each file (szOsFile bytes); a temporary file
// of the default VFS is opened into the same memory instead.
struct EnvFile {
    sqlite3_file base;
    Open* open;
};

Open& of(sqlite3_file* file) { return *reinterpret_cast<EnvFile*>(file)->open; }

// The folder `path` is in, opened; its leaf in `leaf`.
std::error_code openFolderOf(Env& env, const std::string& path, EnvHandle& folder, std::string& leaf) {
    const FileName name(path);
    leaf = name.getLeafName();
    const std::string holding = name.getFolder();
    return env.openFolder(holding.empty() ? "." : holding, folder);
}

int take(Open& open, ByteRange range, Env::Lock kind) {
    const std::error_code error = open.env->lock(open.file, range, kind);
    if (!error) {
        return SQLITE_OK;
    }
    return means(error, std::errc::resource_unavailable_try_again) ? SQLITE_BUSY : failed(error, SQLITE_IOERR_LOCK);
}

void release(Open& open, ByteRange range) { (void)open.env->lock(open.file, range, Env::Lock::Unlocked); }

int xRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Open& open = of(file);
    const std::span<char> into(static_cast<char*>(buffer), static_cast<std::size_t>(amount));
    std::size_t got = 0;
    if (const std::error_code error = open.env->read(open.file, static_cast<std::uint64_t>(offset), into, got)) {
        return failed(error, SQLITE_IOERR_READ);
    }
    if (got < into.size()) {
        std::fill(into.begin() + static_cast<std::ptrdiff_t>(got), into.end(), '\0');
        return SQLITE_IOERR_SHORT_READ;
    }
    return SQLITE_OK;
}

int xWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    Open& open = of(file);
    const std::span<const char> bytes(static_cast<const char*>(data), static_cast<std::size_t>(amount));
    if (const std::error_code error = open.env->write(open.file, static_cast<std::uint64_t>(offset), bytes)) {
        return failed(error, means(error, std::errc::no_space_on_device) ? SQLITE_FULL : SQLITE_IOERR_WRITE);
    }
    return SQLITE_OK;
}

int xTruncate(sqlite3_file* file, sqlite3_int64 size) {
    Open& open = of(file);
    const std::error_code error = open.env->truncate(open.file, static_cast<std::uint64_t>(size));
    return error ? failed(error, SQLITE_IOERR_TRUNCATE) : SQLITE_OK;
}

int xSync(sqlite3_file* file, int) {
    Open& open = of(file);
    if (const std::error_code error = open.env->sync(open.file)) {
        return failed(error, SQLITE_IOERR_FSYNC);
    }
    if (open.syncFolder) {
        open.syncFolder = false;
        // A file system that cannot flush a folder (EINVAL) has nothing to lose.
        if (const std::error_code error = open.env->sync(open.folder);
            error && !means(error, std::errc::invalid_argument)) {
            return failed(error, SQLITE_IOERR_DIR_FSYNC);
        }
    }
    return SQLITE_OK;
}

int xFileSize(sqlite3_file* file, sqlite3_int64* size) {
    Open& open = of(file);
    FileFacts facts;
    if (const std::error_code error = open.env->facts(open.file, facts)) {
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
        if (const std::error_code error = open.env->isLocked(open.file, kReserved, locked)) {
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
    if (const std::error_code error = open.env->facts(open.file, mine)) {
        return failed(error, SQLITE_IOERR_FSTAT);
    }
    const std::error_code error = open.env->look(open.folder, open.leaf, named);
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

int xOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    if (name == nullptr || (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL)) == 0 ||
        (flags & SQLITE_OPEN_DELETEONCLOSE) != 0) {
        return systemVfs(vfs)->xOpen(systemVfs(vfs), name, file, flags, outFlags);
    }
    file->pMethods = nullptr;
    auto open = std::make_unique<Open>();
    open->env = Env::current();
    Env& env = *open->env;
    if (const std::error_code error = openFolderOf(env, name, open->folder, open->leaf)) {
        return failed(error, SQLITE_CANTOPEN);
    }
    const bool journal = (flags & SQLITE_OPEN_MAIN_JOURNAL) != 0;
    OpenOptions options;
    options.access = (flags & SQLITE_OPEN_READWRITE) != 0 ? OpenOptions::Access::ReadWrite : OpenOptions::Access::Read;
    options.creation = (flags & SQLITE_OPEN_CREATE) == 0      ? OpenOptions::Creation::Existing
                       : (flags & SQLITE_OPEN_EXCLUSIVE) != 0 ? OpenOptions::Creation::New
                                                              : OpenOptions::Creation::NewOrExisting;
    options.mode = journal ? 0600 : 0644; // a journal takes its design's access below
    // A journal is made new where it can be, so that one made here and not
    // given its design's access is removed again.
    bool made = false;
    if (journal && options.creation == OpenOptions::Creation::NewOrExisting) {
        OpenOptions fresh = options;
        fresh.creation = OpenOptions::Creation::New;
        const std::error_code error = env.open(open->folder, open->leaf, fresh, open->file);
        made = !error;
        options.creation = means(error, std::errc::file_exists) ? OpenOptions::Creation::Existing : options.creation;
    }
    std::error_code error = made ? std::error_code() : env.open(open->folder, open->leaf, options, open->file);
    if (means(error, std::errc::permission_denied) && !journal && options.access == OpenOptions::Access::ReadWrite) {
        // As SQLite does: a design this user may only read opens read-only,
        // and a write to it then fails as one to a read-only database.
        flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
        error = env.open(open->folder, open->leaf, OpenOptions{}, open->file);
    }
    if (error) {
        return failed(error, means(error, std::errc::too_many_symbolic_link_levels) ? SQLITE_CANTOPEN_SYMLINK
                                                                               : SQLITE_CANTOPEN);
    }
    if (journal && (flags & SQLITE_OPEN_CREATE) != 0) {
        // Whoever may read or write the design may roll its journal back.
        const std::string& leaf = open->leaf;
        if (leaf.ends_with(kJournalSuffix)) {
            EnvHandle design;
            std::error_code refused =
                env.open(open->folder, leaf.substr(0, leaf.size() - std::strlen(kJournalSuffix)), OpenOptions{}, design);
            if (refused || (refused = env.adoptAccess(open->file, design))) {
                if (made) {
                    open->file = EnvHandle();
                    (void)env.remove(open->folder, leaf);
                }
                return failed(refused, SQLITE_CANTOPEN);
            }
        }
        open->syncFolder = true;
    }
    if (outFlags != nullptr) {
        *outFlags = flags;
    }
    reinterpret_cast<EnvFile*>(file)->open = open.release();
    file->pMethods = &kMethods;
    return SQLITE_OK;
}

int xDelete(sqlite3_vfs*, const char* name, int syncFolder) {
    const std::shared_ptr<Env> env = Env::current();
    EnvHandle folder;
    std::string leaf;
    if (const std::error_code error = openFolderOf(*env, name, folder, leaf)) {
        return failed(error, SQLITE_IOERR_DELETE);
    }
    if (const std::error_code error = env->remove(folder, leaf)) {
        return means(error, std::errc::no_such_file_or_directory) ? SQLITE_IOERR_DELETE_NOENT
                                                             : failed(error, SQLITE_IOERR_DELETE);
    }
    // synchronous=EXTRA: a commit is done once its journal's removal is on
    // the disk. A folder that cannot be flushed fails nothing: the removal
    // is done, as after a save's rename.
    if (syncFolder != 0) {
        (void)env->sync(folder);
    }
    return SQLITE_OK;
}

int xAccess(sqlite3_vfs*, const char* name, int flags, int* result) {
    *result = 0;
    const std::shared_ptr<Env> env = Env::current();
    EnvHandle folder;
    std::string leaf;
    FileFacts facts;
    // Only nothing at the name is no file: a journal that cannot be looked
    // at may be a hot one.
    if (std::error_code error = openFolderOf(*env, name, folder, leaf); error || (error = env->look(folder, leaf, facts))) {
        return isAbsent(error) ? SQLITE_OK : failed(error, SQLITE_IOERR_ACCESS);
    }
    switch (flags) {
    case SQLITE_ACCESS_EXISTS:
        // An empty journal is none, as SQLite's unix VFS has it.
        *result = facts.kind != FileFacts::Kind::Regular || facts.size > 0;
        break;
    case SQLITE_ACCESS_READWRITE:
        if (const std::error_code error = env->mayWrite(folder, leaf)) {
            if (!isDenied(error)) {
                return failed(error, SQLITE_IOERR_ACCESS);
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

bool isAbsolute(const std::string& path) {
    return path.starts_with('/') || path.starts_with('\\') || (path.size() > 1 && path[1] == ':');
}

// The store names every file by an absolute path with no link resolved
// (it follows links itself, as the kernel would); others are taken to be
// relative to the current folder.
int xFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    std::string path = name;
    if (!isAbsolute(path)) {
        const std::shared_ptr<Env> env = Env::current();
        EnvHandle here;
        std::string current;
        if (std::error_code error = env->openFolder(".", here); error || (error = env->pathOf(here, current))) {
            return failed(error, SQLITE_CANTOPEN);
        }
        path = current + (current.find('\\') != std::string::npos ? "\\" : "/") + path;
    }
    if (path.size() >= static_cast<std::size_t>(size)) {
        return SQLITE_CANTOPEN;
    }
    std::memcpy(out, path.c_str(), path.size() + 1);
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
        instance.szOsFile = std::max(static_cast<int>(sizeof(EnvFile)), system->szOsFile);
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

const char* envVfs() { return registered()->zName; }

std::error_code envVfsError(int value) {
    return t_lastErrorCode && t_lastErrorCode.value() == value ? t_lastErrorCode
                                                               : std::error_code(value, std::system_category());
}

int envVfsMaxPath() { return registered()->mxPathname; }

} // namespace Zorvan::internal
