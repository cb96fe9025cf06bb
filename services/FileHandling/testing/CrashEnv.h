#pragma once
// CrashEnv: every state a power cut may leave one folder in, point by
// point. It forwards every call to the native Env and follows, for the
// regular files directly in its folder, each write, truncation, flush,
// creation, rename and removal: one point each. At every point it keeps
// what the disk holds (each file's content as last flushed, the names as
// of the folder's last flush) beside what the program sees, and states()
// gives the folders the disk may hold when the power goes right then:
//   "all lost"    every write and every change of a name not flushed is lost;
//   "all kept"    all of it reached the disk;
//   "names lost"  what was written reached the disk, the changes of names did not;
//   "data lost"   the changes of names reached the disk, what was written did not;
//   "torn"        all of it, but the last write to each file not flushed
//                 since reached the disk by its first half only.
// Point 0 is the folder as it was at the start, all of it on the disk.
// Where names write through (Windows, which has no flush of a folder and
// writes a rename through), a change of a name is on the disk at once.
//
// The names are read from the folder itself at each point that may change
// them, so a file other code makes or removes there without the Env (a
// one-writer lock's empty file) counts as made or removed at the next such
// point, and on the disk once the folder is flushed after it.
//
// Thread-safety: the calls it follows may come from any thread.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "FileHandling/Env.h"
#include "FileHandling/testing/TempFolder.h"

namespace Zorvan::testing {

class CrashEnv final : public EnvWrapper {
public:
    /// What a folder holds: each name's content.
    using Files = std::map<std::string, std::string>;
    struct State { const char* kind; Files files; };

    explicit CrashEnv(const std::string& folder) : EnvWrapper(Env::native()), m_path(folder) {
        FileFacts facts;
        must(target().openFolder(folder, m_folder));
        must(target().facts(m_folder, facts));
        m_identity = facts.identity;
        readNames();
        std::ranges::for_each(m_now.files, [](File& file) { file.durable = file.live; });
        m_now.durableNames = m_now.names;
        m_points.push_back({"start", m_now});
    }

    std::size_t points() const { return locked([&] { return m_points.size(); }); }
    std::string what(std::size_t point) const { return locked([&] { return m_points.at(point).what; }); }
    /// What happened at `point` ("write a.zvd @0 +4096", "flush a.zvd", "flush the folder", ...).
    std::vector<State> states(std::size_t point) const {
        const std::lock_guard lock(m_mutex);
        const Snapshot& at = m_points.at(point).at;
        // The folder with `names`, each file with what was flushed, what was written or, `torn`, its last write halved.
        const auto folder = [&](const Names& names, bool written, bool torn = false) {
            Files files;
            for (const auto& [leaf, index] : names) {
                const File& file = at.files[index];
                files[leaf] = !written ? file.durable : torn ? file.torn.value_or(file.live) : file.live;
            }
            return files;
        };
        return {{"all lost", folder(at.durableNames, false)},
                {"all kept", folder(at.names, true)},
                {"names lost", folder(at.durableNames, true)},
                {"data lost", folder(at.names, false)},
                {"torn", folder(at.names, true, true)}};
    }
    /// What a power cut could still undo now: names the folder did not
    /// flush, files whose content or access (adoptAccess) it did not. Names
    /// changed without the Env since the last point make one more point.
    std::vector<std::string> unflushed() {
        const std::lock_guard lock(m_mutex);
        namesChanged("the end");
        std::vector<std::string> found;
        // An editor's claim file need not outlast a power cut: one that
        // comes back claims nothing, since nobody holds its lock.
        const auto lasting = [](auto names) {
            std::erase_if(names, [](const auto& name) { return name.first.ends_with(".editor"); });
            return names;
        };
        if (lasting(m_now.names) != lasting(m_now.durableNames)) {
            found.push_back("the folder's names");
        }
        for (const auto& [leaf, index] : m_now.names) {
            if (const File& file = m_now.files[index]; file.live != file.durable || file.access) {
                found.push_back(leaf);
            }
        }
        return found;
    }

    /// Puts each distinct state of every point in turn into the folder
    /// `scratch` and calls `check(point, kind)` on it; a state of the last
    /// point is never taken for one of an earlier point.
    void explore(const std::string& scratch, const std::function<void(std::size_t point, const char* kind)>& check) const {
        std::set<std::pair<Files, bool>> tried;
        for (std::size_t point = 0; point < points(); ++point) {
            for (const State& state : states(point)) {
                if (tried.emplace(state.files, point + 1 == points()).second) {
                    materialize(state.files, scratch);
                    check(point, state.kind);
                }
            }
        }
    }
    /// How many flushes of a file or of the folder were recorded.
    std::size_t flushes() const {
        return locked([&] {
            return static_cast<std::size_t>(
                std::ranges::count_if(m_points, [](const Point& p) { return p.what.starts_with("flush"); }));
        });
    }

    /// Makes `folder` hold `files` and nothing else, through the native Env.
    static void materialize(const Files& files, const std::string& folder) {
        Env& env = *Env::native();
        EnvHandle at;
        must(env.openFolder(folder, at));
        for (const std::string& leaf : leavesOf(folder)) {
            must(env.remove(at, leaf));
        }
        for (const auto& [leaf, content] : files) {
            EnvHandle file;
            must(env.open(at, leaf, {OpenOptions::Access::ReadWrite, OpenOptions::Creation::New}, file));
            must(env.write(file, 0, content));
        }
    }

    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        return inFolder(folder, "open " + leaf, EnvWrapper::open(folder, leaf, options, file));
    }
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override {
        return inFolder(folder, "rename " + from + " " + to, EnvWrapper::rename(folder, from, to, whenTaken));
    }
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return inFolder(folder, "remove " + leaf, EnvWrapper::remove(folder, leaf));
    }
    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        return inFolder(folder, "remove " + leaf, EnvWrapper::removeIf(folder, leaf, file));
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return onFile(file, EnvWrapper::write(file, offset, data), [&](File& written, const std::string& name) {
            const auto put = [&](std::string content, std::size_t size) {
                content.resize(std::max<std::size_t>(content.size(), offset + size));
                return content.replace(offset, size, data.data(), size);
            };
            written.torn = put(written.live, data.size() / 2);
            written.live = put(written.live, data.size());
            return "write " + name + " @" + std::to_string(offset) + " +" + std::to_string(data.size());
        });
    }
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return onFile(file, EnvWrapper::truncate(file, size), [&](File& cut, const std::string& name) {
            cut.live.resize(size);
            cut.torn.reset();
            return "truncate " + name + " to " + std::to_string(size);
        });
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        const std::error_code error = EnvWrapper::sync(fileOrFolder);
        if (!error && isOurs(fileOrFolder)) {
            const std::lock_guard lock(m_mutex);
            readNames();
            m_now.durableNames = m_now.names;
            record("flush the folder");
            return error;
        }
        return onFile(fileOrFolder, error, [](File& flushed, const std::string& name) {
            flushed = {flushed.identity, flushed.live, flushed.live, std::nullopt, false};
            return "flush " + name;
        });
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return onFile(file, EnvWrapper::adoptAccess(file, like), [](File& changed, const std::string&) {
            changed.access = true;
            return std::string(); // not a point of its own: what a flush makes durable
        });
    }

private:
    struct File {
        FileIdentity identity;
        std::string live;
        std::string durable;
        std::optional<std::string> torn; // the last write not flushed, by its first half
        bool access = false;             // access changed since the last flush
    };
    using Names = std::map<std::string, std::size_t>; // leaf: index in files
    struct Snapshot { Names names, durableNames; std::vector<File> files; };
    struct Point { std::string what; Snapshot at; };

    static void must(const std::error_code& error) {
        if (error) {
            throw std::system_error(error);
        }
    }
    static std::vector<std::string> leavesOf(const std::string& folder) {
        std::vector<std::string> leaves;
        for (const auto& entry : std::filesystem::directory_iterator(TempFolder::fromUtf8(folder))) {
            leaves.push_back(TempFolder::utf8(entry.path().filename()));
        }
        return leaves;
    }
    template <class Read>
    auto locked(Read read) const -> decltype(read()) {
        const std::lock_guard lock(m_mutex);
        return read();
    }
    // Whether `handle` is open on the folder. Files and folders are told by
    // what they are, not by their handles, whose numbers come back once closed.
    bool isOurs(const EnvHandle& handle) {
        FileFacts facts;
        return !target().facts(handle, facts) && facts.kind == FileFacts::Kind::Folder &&
               sameFile(facts.identity, m_identity);
    }
    // After a successful call on the folder that may change its names.
    std::error_code inFolder(const EnvHandle& folder, const std::string& what, const std::error_code& error) {
        if (!error && isOurs(folder)) {
            const std::lock_guard lock(m_mutex);
            namesChanged(what);
        }
        return error;
    }
    // After a successful call on a file of the folder: `change(file, its name)`
    // changes it and says what happened ("": no point of its own).
    template <class Change>
    std::error_code onFile(const EnvHandle& handle, const std::error_code& error, Change change) {
        FileFacts facts;
        if (error || target().facts(handle, facts)) {
            return error;
        }
        const std::lock_guard lock(m_mutex);
        const auto found = std::ranges::find_if(m_now.files, [&](const File& f) { return sameFile(f.identity, facts.identity); });
        if (found != m_now.files.end()) {
            const auto index = static_cast<std::size_t>(found - m_now.files.begin());
            const auto named = std::ranges::find_if(m_now.names, [&](const auto& name) { return name.second == index; });
            const std::string what = change(*found, named == m_now.names.end() ? "a file with no name" : named->first);
            if (!what.empty()) {
                record(what);
            }
        }
        return error;
    }
    void record(std::string what) { m_points.push_back({std::move(what), m_now}); }
    void namesChanged(const std::string& what) {
        if (readNames()) {
            record(what);
        }
    }

    // Reads the names of the folder's regular files; a file not seen
    // before is new, its content as it is now not yet on the disk. True
    // when the names changed.
    bool readNames() {
        Names names;
        for (const std::string& leaf : leavesOf(m_path)) {
            FileFacts facts;
            if (target().look(m_folder, leaf, facts) || facts.kind != FileFacts::Kind::Regular) {
                continue;
            }
            const auto index = static_cast<std::size_t>(
                std::ranges::find_if(m_now.files, [&](const File& f) { return sameFile(f.identity, facts.identity); }) - m_now.files.begin());
            if (index == m_now.files.size()) {
                m_now.files.push_back({facts.identity, contentOf(leaf, facts.size), "", std::nullopt, false});
            }
            names[leaf] = index;
        }
        if (names == m_now.names) {
            return false;
        }
        m_now.names = std::move(names);
        if (kNamesWriteThrough) {
            m_now.durableNames = m_now.names;
        }
        return true;
    }
    std::string contentOf(const std::string& leaf, std::uint64_t size) {
        EnvHandle file;
        std::string content(size, '\0');
        std::size_t got = 0;
        if (target().open(m_folder, leaf, OpenOptions{}, file) || target().read(file, 0, content, got)) {
            got = 0;
        }
        content.resize(got);
        return content;
    }

    const std::string m_path;
#ifdef _WIN32
    static constexpr bool kNamesWriteThrough = true;
#else
    static constexpr bool kNamesWriteThrough = false;
#endif
    EnvHandle m_folder;
    FileIdentity m_identity;
    mutable std::mutex m_mutex;
    Snapshot m_now;
    std::vector<Point> m_points;
};

} // namespace Zorvan::testing
