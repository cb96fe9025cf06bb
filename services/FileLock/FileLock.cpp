// FileLock: waiting for the lock and keeping the threads of this process
// apart, the same on every system. FileLockPosix.cpp and
// FileLockWindows.cpp open, lock and compare the files.
//
// Threads are kept apart by a process-wide registry of the files this
// process holds locked. acquire looks up the file the name holds before it
// opens anything, and counts a registered file as busy without opening it:
// closing any descriptor of a file drops every classic record lock this
// process holds on it, so a descriptor opened and closed beside a save of
// this process would take the locks of that save's SQLite connection with
// it. One mutex covers look-up, open, lock and registration, and the
// release, so two threads never both find a file free; it is never held
// while waiting.
//
// A rewrite on Windows puts its new file in place with ReplaceFileW, which
// moves the old file aside before it moves the new one in: for that moment
// the design's name holds nothing. A save waiting for the lock must not
// take that moment for a missing design, nor fill the name with a new
// empty file (the rewrite could then not put its file in place, and the
// design would be left under a temporary name). So while this process
// holds a lock under a name, and for fileLock::kReplaceGap after another
// process was found holding the lock, an empty name is looked at again
// instead.

#include "FileLock/FileLock.h"

#include "Common/Process.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "FileHandling/FileNameException.h"
#include "FileLock/FileLockNative.h"

namespace Zorvan {

FileBusyException::FileBusyException(const std::string& message, const std::string& path, bool heldOpen,
                                     std::source_location location)
    : ZvException(message, location), m_path(path), m_heldOpen(heldOpen) {}

FileBusyException::FileBusyException(const FileBusyException& other) = default;
FileBusyException& FileBusyException::operator=(const FileBusyException& other) = default;
// Out of line so that this library alone owns the typeinfo.
FileBusyException::~FileBusyException() = default;

namespace {

using fileLock::FileId;
using fileLock::NativeFile;
using fileLock::Opened;

struct Registry {
    std::mutex mutex;
    std::set<FileId> held;
    // The names the locks of `held` were taken under.
    std::multiset<std::string> names;
};

Registry& registry() {
    // Never destroyed: a FileLock in a static object may be released after
    // this function's statics would have been.
    static Registry* const instance = new Registry;
    return *instance;
}

// A name that a rewrite keeps replacing is tried again at once this many
// times; after that each further try waits like a busy one.
constexpr int kImmediateRetries = 16;
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{25};

// Busy: this process holds the lock; LockedElsewhere: another process
// does; HeldOpen: another program has the file open in a way that keeps it
// from being opened for writing (Windows sharing modes).
enum class Attempt { Locked, Busy, LockedElsewhere, HeldOpen, Changed };

// One try at the lock of the file `path` names, all under the registry's
// mutex. On success the file is registered and moved into `locked`.
// `replacedElsewhere`: another process held the lock a moment ago, and may
// be replacing the file.
Attempt tryOnce(const std::string& path, bool create, bool replacedElsewhere, NativeFile& locked) {
    Registry& reg = registry();
    const std::lock_guard guard(reg.mutex);
    const std::optional<FileId> named = fileLock::fileAt(path);
    if (!named && reg.names.contains(path)) {
        return Attempt::Busy;
    }
    if (!named && replacedElsewhere) {
        return Attempt::Changed;
    }
    if (!named && !create) {
        throw FileNameException("Cannot open '" + path + "' for writing: " +
                                    std::make_error_code(std::errc::no_such_file_or_directory).message(),
                                path);
    }
    if (named && reg.held.contains(*named)) {
        return Attempt::Busy;
    }
    NativeFile file;
    switch (fileLock::open(path, create && !named, file)) {
    case Opened::Yes:
        break;
    case Opened::Busy:
        return Attempt::HeldOpen;
    case Opened::Vanished:
        return Attempt::Changed;
    }
    // Only when a file this process holds was renamed to this name between
    // the look-up and the open; the descriptor cannot be helped any more.
    if (reg.held.contains(file.id())) {
        return Attempt::Busy;
    }
    if (!fileLock::tryLock(file, path)) {
        return Attempt::LockedElsewhere;
    }
    // A rewrite may have renamed a new file over the name, or a failed first
    // save removed it, while this one waited for the old file's lock.
    if (fileLock::fileAt(path) != file.id()) {
        return Attempt::Changed;
    }
    reg.held.insert(file.id());
    reg.names.insert(path);
    locked = std::move(file);
    return Attempt::Locked;
}

} // namespace

struct FileLock::Impl {
    std::string path;
    NativeFile file;
    std::uint64_t process = internal::currentProcess();

    ~Impl() {
        if (!file) {
            return;
        }
        if (process != internal::currentProcess()) {
            // The lock belongs to the open file description the parent
            // still holds, and the registry to the parent's threads.
            file = NativeFile();
            return;
        }
        Registry& reg = registry();
        const std::lock_guard guard(reg.mutex);
        if (file.created()) {
            fileLock::removeIfEmpty(path, file);
        }
        reg.held.erase(file.id());
        reg.names.erase(reg.names.find(path));
        file = NativeFile();
    }
};

FileLock FileLock::acquire(const std::string& path, const Options& options) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    // A wait beyond the clock's range (milliseconds::max() for "as long as
    // it takes") would overflow into the past.
    const Clock::time_point deadline =
        options.wait >= std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start)
            ? Clock::time_point::max()
            : start + options.wait;
    // Made before the lock is taken, so that nothing can fail between
    // registering the file and handing it over.
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    std::chrono::milliseconds pause = kFirstPause;
    bool waited = false;
    bool heldOpen = false;
    std::optional<Clock::time_point> lockedElsewhere;
    int retries = 0;
    for (;;) {
        const bool replacedElsewhere = lockedElsewhere && Clock::now() - *lockedElsewhere < fileLock::kReplaceGap;
        const Attempt attempt = tryOnce(path, options.create, replacedElsewhere, impl->file);
        switch (attempt) {
        case Attempt::Locked:
            return FileLock(std::move(impl));
        case Attempt::Changed:
            if (++retries < kImmediateRetries) {
                continue;
            }
            break;
        case Attempt::LockedElsewhere:
            lockedElsewhere = Clock::now();
            [[fallthrough]];
        case Attempt::Busy:
        case Attempt::HeldOpen:
            heldOpen = attempt == Attempt::HeldOpen;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            const std::string why = heldOpen ? "is open in another program that keeps it from being written"
                                             : "is being saved by another program";
            throw FileBusyException("'" + path + "' " + why, path, heldOpen);
        }
        if (!waited) {
            waited = true;
            if (options.onWait) {
                options.onWait();
            }
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, kLongestPause);
    }
}

FileLock::FileLock(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
FileLock::FileLock(FileLock&& other) noexcept = default;
FileLock& FileLock::operator=(FileLock&& other) noexcept = default;
FileLock::~FileLock() = default;

const std::string& FileLock::path() const {
    static const std::string none;
    return m_impl ? m_impl->path : none;
}

bool FileLock::createdFile() const { return m_impl && m_impl->file.created(); }

FileIdentity FileLock::identity() const {
    return m_impl ? FileIdentity{m_impl->file.id().device, m_impl->file.id().file, 0} : FileIdentity{};
}

} // namespace Zorvan
