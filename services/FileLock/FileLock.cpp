// FileLock over the installed Env, the same on every system: the name's
// links are resolved (resolveName), the file is opened in its folder
// without following a link, and the lock byte is taken through that handle
// (Env::lock); the waits between tries are Env::sleepFor, so that a test
// counts them.
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
// holds a lock under a name, for replaceGap() after another process was
// found holding the lock or keeping the file from being opened for writing
// (as the replace itself may, under Wine), and for replaceGap() from the
// first try while the name the new file is moved from holds one (a process
// that arrives in that moment has seen no lock yet), an empty name is looked
// at again instead. The gap holds on every system: the other process may be
// a Windows program writing the design on a shared folder.

#include "FileLock/FileLock.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Common/Process.h"
#include "FileHandling/Env.h"
#include "FileHandling/FileNameException.h"
#include "FileHandling/Folder.h"

namespace Zorvan {

namespace {

constexpr ByteRange kLockByte{FileLock::kLockOffset, 1};

// A name that a rewrite keeps replacing is tried again at once this many
// times; after that each further try waits like a busy one.
constexpr int kImmediateRetries = 16;
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{25};

struct Registry {
    std::mutex mutex;
    std::vector<FileIdentity> held;
    // The names the locks of `held` were taken under.
    std::multiset<std::string> names;

    bool holds(const FileIdentity& file) const {
        return std::any_of(held.begin(), held.end(), [&](const FileIdentity& other) { return sameFile(other, file); });
    }
};

Registry& registry() {
    // Never destroyed: a FileLock in a static object may be released after
    // this function's statics would have been.
    static Registry* const instance = new Registry;
    return *instance;
}

// A file opened to be locked, in the folder it was found in.
struct Held {
    std::shared_ptr<const Folder> place;
    std::string leaf;
    EnvHandle file;
    FileIdentity identity;
    // True when the open created the file.
    bool created = false;
    std::uint64_t process = internal::currentProcess();

    Held() = default;
    Held(Held&&) noexcept = default;
    Held& operator=(Held&&) noexcept = default;
    ~Held() { letGo(); }

    Env& env() const { return place->env(); }
    const EnvHandle& folder() const { return place->handle(); }

    // Closes the file. Windows releases a closed handle's locks only some
    // time later, so the byte is let go first; a forked child closes its
    // copy alone (on POSIX it shares the parent's lock, which it must keep).
    void letGo() noexcept {
        if (file && process == internal::currentProcess()) {
            (void)env().lock(file, kLockByte, Env::Lock::Unlocked);
        }
        file = EnvHandle();
    }
};

// Removes the file a try made when the try ends without its lock: a first
// save that fails leaves no empty file behind. Once the file is known by
// its identity, another file put under the name meanwhile is left alone.
class MadeByThisTry {
public:
    explicit MadeByThisTry(Held& file) : m_file(file) {}
    MadeByThisTry(const MadeByThisTry&) = delete;
    MadeByThisTry& operator=(const MadeByThisTry&) = delete;
    ~MadeByThisTry() {
        if (!m_file.created || !m_file.file) {
            return; // not made here, or locked and handed over
        }
        m_file.letGo();
        (void)(m_identified ? m_file.env().removeIf(m_file.folder(), m_file.leaf, m_file.identity)
                            : m_file.env().remove(m_file.folder(), m_file.leaf));
    }
    void identified() { m_identified = true; }

private:
    Held& m_file;
    bool m_identified = false;
};

[[noreturn]] void fail(const std::string& message, const std::string& path, std::errc condition) {
    throw FileNameException(message, path, std::make_error_code(condition));
}

[[noreturn]] void cannotOpen(const std::string& path, bool create, const std::error_code& error) {
    const std::string what = create ? "Cannot create '" + path + "': " : "Cannot open '" + path + "' for writing: ";
    throw FileNameException(what + describe(error), path, error);
}

[[noreturn]] void notRegular(const std::string& path) {
    fail("'" + path + "' is not a regular file", path, std::errc::operation_not_supported);
}

// Busy: this process holds the lock; LockedElsewhere: another process
// does; HeldOpen: another program has the file open in a way that keeps it
// from being opened for writing (Windows sharing modes).
enum class Attempt { Locked, Busy, LockedElsewhere, HeldOpen, Changed };

// Where the file `path` names is now: its links resolved as the kernel
// would, its folder opened.
Site siteOf(const std::string& path, bool create) {
    const ResolvedName resolved = resolveName(path);
    if (const std::error_code error = resolved.error()) {
        if (create && resolved.outcome == ResolvedName::Outcome::Missing) {
            fail("Cannot create '" + path + "': it is a symbolic link to a missing file", path,
                 std::errc::no_such_file_or_directory);
        }
        cannotOpen(path, false, error);
    }
    try {
        return Zorvan::siteOf(path, resolved);
    } catch (const FileNameException& e) {
        cannotOpen(path, create, e.code());
    }
}

// What one try is about: `path` names the file in messages;
// `replacedElsewhere`: another process held the lock or the file a moment
// ago, and may be replacing the file; `replacedFrom`: the leaf a replace
// would move the new file from, looked at when the name is empty (none:
// empty).
struct Try {
    const std::string& path;
    bool create;
    bool replacedElsewhere;
    const std::string& replacedFrom;
};

// The name held nothing (`missing`): how the try ends, or nullopt when a
// new file may be made there.
std::optional<Attempt> whenMissing(const Registry& reg, const Held& file, const Try& how,
                                   const std::error_code& missing) {
    if (reg.names.contains(how.path)) {
        return Attempt::Busy;
    }
    if (how.replacedElsewhere) {
        return Attempt::Changed;
    }
    if (!how.replacedFrom.empty()) {
        FileFacts replacement;
        if (const std::error_code error = file.env().look(file.folder(), how.replacedFrom, replacement); !error) {
            return Attempt::Changed;
        } else if (!isAbsent(error)) {
            cannotOpen(how.path, how.create, error);
        }
    }
    if (!how.create) {
        cannotOpen(how.path, false, missing);
    }
    return std::nullopt;
}

// The name held `named`: how the try ends, or nullopt when it may be opened.
std::optional<Attempt> whenPresent(const Registry& reg, const FileFacts& named, const std::string& path) {
    if (named.kind == FileFacts::Kind::Link) {
        return Attempt::Changed; // a link came since the name was resolved
    }
    if (named.kind != FileFacts::Kind::Regular) {
        notRegular(path);
    }
    if (reg.holds(named.identity)) {
        return Attempt::Busy;
    }
    return std::nullopt;
}

// Opens the file at the name, a new one when `makeNew` (so that the lock
// knows whether it made the file, which decides whether its release may
// remove it again): nullopt when opened, else how the try ends.
std::optional<Attempt> openAtName(Held& file, bool makeNew, const std::string& path) {
    const OpenOptions options{OpenOptions::Access::ReadWrite,
                              makeNew ? OpenOptions::Creation::New : OpenOptions::Creation::Existing, 0666};
    if (const std::error_code error = file.env().open(file.folder(), file.leaf, options, file.file)) {
        if (means(error, std::errc::file_exists) || means(error, std::errc::no_such_file_or_directory) ||
            means(error, std::errc::too_many_symbolic_link_levels)) {
            return Attempt::Changed; // the name changed since it was looked at
        }
        if (means(error, std::errc::device_or_resource_busy)) {
            return Attempt::HeldOpen;
        }
        if (means(error, std::errc::is_a_directory) || means(error, std::errc::operation_not_supported)) {
            notRegular(path);
        }
        cannotOpen(path, makeNew, error);
    }
    file.created = makeNew;
    return std::nullopt;
}

// Takes the lock byte of the opened file and checks that the name still
// holds it.
Attempt lockOpened(const Registry& reg, Held& file, MadeByThisTry& made, const std::string& path) {
    Env& env = file.env();
    FileFacts opened;
    if (const std::error_code error = env.facts(file.file, opened)) {
        cannotOpen(path, false, error);
    }
    file.identity = opened.identity;
    made.identified();
    // Only when a file this process holds was renamed to this name between
    // the look-up and the open; the handle cannot be helped any more.
    if (reg.holds(file.identity)) {
        return Attempt::Busy;
    }
    if (const std::error_code error = env.lock(file.file, kLockByte, Env::Lock::Exclusive)) {
        if (means(error, std::errc::resource_unavailable_try_again)) {
            return Attempt::LockedElsewhere;
        }
        throw FileNameException("Cannot lock '" + path + "': " + describe(error), path, error);
    }
    // A rewrite may have renamed a new file over the name, or a failed first
    // save removed it, while this one waited for the old file's lock.
    FileFacts now;
    if (const std::error_code error = env.look(file.folder(), file.leaf, now); error && !isAbsent(error)) {
        cannotOpen(path, false, error);
    } else if (error || !sameFile(now.identity, file.identity)) {
        return Attempt::Changed;
    }
    return Attempt::Locked;
}

// One try at the lock of the file at the site `where` gives, all under the
// registry's mutex: look at the name, open what it holds (or a new file),
// lock it. On success the file is registered and moved into `locked`.
Attempt tryOnce(const std::function<Site()>& where, const Try& how, Held& locked) {
    Registry& reg = registry();
    const std::lock_guard guard(reg.mutex);
    const Site site = where();
    Held file;
    file.place = site.folder;
    file.leaf = site.leaf;
    FileFacts named;
    const std::error_code missing = file.env().look(file.folder(), file.leaf, named);
    if (missing && !means(missing, std::errc::no_such_file_or_directory)) {
        cannotOpen(how.path, false, missing);
    }
    if (const std::optional<Attempt> ended =
            missing ? whenMissing(reg, file, how, missing) : whenPresent(reg, named, how.path)) {
        return *ended;
    }
    if (const std::optional<Attempt> ended = openAtName(file, static_cast<bool>(missing), how.path)) {
        return *ended;
    }
    MadeByThisTry made(file);
    const Attempt attempt = lockOpened(reg, file, made, how.path);
    if (attempt == Attempt::Locked) {
        reg.held.push_back(file.identity);
        reg.names.insert(how.path);
        locked = std::move(file);
    }
    return attempt;
}

} // namespace

struct FileLock::Impl {
    std::string path;
    Held file;

    ~Impl() {
        if (!file.file) {
            return;
        }
        if (file.process != internal::currentProcess()) {
            // The lock belongs to the open file the parent still holds, and
            // the registry to the parent's threads.
            file.letGo();
            return;
        }
        Registry& reg = registry();
        const std::lock_guard guard(reg.mutex);
        FileFacts facts;
        if (file.created && !file.env().facts(file.file, facts) && facts.size == 0) {
            (void)file.env().removeIf(file.folder(), file.leaf, file.identity);
        }
        const auto held = std::find_if(reg.held.begin(), reg.held.end(),
                                       [&](const FileIdentity& other) { return sameFile(other, file.identity); });
        reg.held.erase(held);
        reg.names.erase(reg.names.find(path));
        file.letGo();
    }
};

FileLock FileLock::acquire(const std::string& path, const Options& options) {
    return acquire([&] { return siteOf(path, options.create); }, path, options);
}

FileLock FileLock::acquire(const Site& site, const Options& options) {
    return acquire([&] { return site; }, site.folder->pathOf(site.leaf), options);
}

namespace {

using Clock = std::chrono::steady_clock;

// A wait beyond the clock's range (milliseconds::max() for "as long as it
// takes") would overflow into the past.
Clock::time_point deadlineOf(Clock::time_point start, std::chrono::milliseconds wait) {
    return wait >= std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start)
               ? Clock::time_point::max()
               : start + wait;
}

// The pauses between tries: doubling up to the longest, never past the
// time given, the caller told once that it waits, and why.
class Pauses {
public:
    explicit Pauses(const std::function<void(std::error_code)>& onWait) : m_onWait(onWait) {}

    // Sleeps before the next try after `attempt`; false when `until` has passed.
    bool before(Clock::time_point until, Attempt attempt) {
        const Clock::time_point now = Clock::now();
        if (now >= until) {
            return false;
        }
        if (!m_waited && m_onWait) {
            m_onWait(make_error_code(attempt == Attempt::HeldOpen ? FileErrc::HeldOpen : FileErrc::Busy));
        }
        m_waited = true;
        Env::current()->sleepFor(std::min(m_pause, std::chrono::ceil<std::chrono::milliseconds>(until - now)));
        m_pause = std::min(m_pause * 2, kLongestPause);
        return true;
    }

private:
    const std::function<void(std::error_code)>& m_onWait;
    std::chrono::milliseconds m_pause = kFirstPause;
    bool m_waited = false;
};

} // namespace

FileLock FileLock::acquire(const std::function<Site()>& where, const std::string& path, const Options& options) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = deadlineOf(start, options.wait);
    // Made before the lock is taken, so that nothing can fail between
    // registering the file and handing it over.
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    const std::string replacedFrom =
        options.replacedFrom.empty() ? std::string() : FileName(options.replacedFrom).getLeafName();
    const std::string noLeaf;
    Pauses pauses(options.onWait);
    std::optional<Clock::time_point> heldElsewhere; // the last try that found it so
    bool heldOpen = false; // what the last try that was not cut short by a replace found
    int retries = 0;
    for (;;) {
        const Clock::time_point tried = Clock::now();
        const bool replacedElsewhere = heldElsewhere && tried - *heldElsewhere < replaceGap();
        const std::string& from = tried - start < replaceGap() ? replacedFrom : noLeaf;
        const Attempt attempt = tryOnce(where, Try{path, options.create, replacedElsewhere, from}, impl->file);
        if (attempt == Attempt::Locked) {
            return FileLock(std::move(impl));
        }
        if (attempt == Attempt::Changed && ++retries < kImmediateRetries) {
            continue;
        }
        if (attempt == Attempt::LockedElsewhere || attempt == Attempt::HeldOpen) {
            heldElsewhere = Clock::now();
        }
        heldOpen = attempt == Attempt::Changed ? heldOpen : attempt == Attempt::HeldOpen;
        // A name in the middle of a replace is looked at again for the gap
        // even when the caller would not wait.
        if (!pauses.before(attempt == Attempt::Changed ? std::max(deadline, start + replaceGap()) : deadline,
                           attempt)) {
            throw FileError(heldOpen ? make_error_code(FileErrc::HeldOpen)
                                     : std::make_error_code(std::errc::device_or_resource_busy),
                            FileRole::Lock, path);
        }
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

bool FileLock::createdFile() const { return m_impl && m_impl->file.created; }

void FileLock::keepFile() noexcept {
    if (m_impl) {
        m_impl->file.created = false;
    }
}

FileIdentity FileLock::identity() const { return m_impl ? m_impl->file.identity : FileIdentity{}; }

} // namespace Zorvan
