#pragma once
// FaultEnv: an Env that counts the calls made through it, by kind, and
// makes the k-th call of one kind fail with a given error without passing
// it on, so that a test can run a road once to learn which calls it makes
// and then fail each of them in turn. Every other call goes to the Env it
// wraps.

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "FileHandling/Env.h"

namespace Zorvan::testing {

class FaultEnv final : public EnvWrapper {
public:
    enum class Kind {
        OpenFolder,
        PathOf,
        Look,
        ReadLink,
        Open,
        Rename,
        Remove,
        MayWrite,
        Facts,
        Read,
        Write,
        Truncate,
        Sync,
        AdoptAccess,
        Lock,
        IsLocked,
    };
    static constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::IsLocked) + 1;

    static const char* name(Kind kind) {
        static constexpr std::array<const char*, kKinds> kNames = {
            "openFolder", "pathOf", "look",  "readLink", "open", "rename",      "remove", "mayWrite",
            "facts",      "read",   "write", "truncate", "sync", "adoptAccess", "lock",   "isLocked"};
        return kNames[static_cast<std::size_t>(kind)];
    }

    /// One call that reached this Env: its kind, whether it was made on a
    /// folder's handle, and the leaf names it was given.
    struct Call {
        Kind kind;
        bool onFolder = false;
        std::string names;
        std::string describe() const {
            return std::string(name(kind)) + (onFolder ? " on a folder" : "") + (names.empty() ? "" : " " + names);
        }
    };

    explicit FaultEnv(std::shared_ptr<Env> target = Env::native()) : EnvWrapper(std::move(target)) {}

    /// From now on, counts anew and fails the `k`-th call of `kind`
    /// (counted from 1; 0: none) with `error`.
    void failAt(Kind kind, int k, std::error_code error) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_counts = {};
        m_failKind = kind;
        m_failAt = k;
        m_error = error;
        m_failed.reset();
    }
    /// How many calls of `kind` were made since failAt().
    int count(Kind kind) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts[static_cast<std::size_t>(kind)];
    }
    /// The call that was failed, once it was made.
    std::optional<Call> failed() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_failed;
    }

    /// Calls `run(kind, 0)` once with no call failing, to count the calls it
    /// makes, then `run(kind, k)` once for each of them with the k-th call
    /// of that kind failing with `errorOf(kind)`. Returns how many calls
    /// were failed.
    template <class ErrorOf, class Run>
    int failEachCall(ErrorOf&& errorOf, Run&& run) {
        failAt(Kind::OpenFolder, 0, {});
        run(Kind::OpenFolder, 0);
        std::array<int, kKinds> counted{};
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            counted = m_counts;
        }
        int failed = 0;
        for (std::size_t kind = 0; kind < kKinds; ++kind) {
            for (int k = 1; k <= counted[kind]; ++k, ++failed) {
                failAt(static_cast<Kind>(kind), k, errorOf(static_cast<Kind>(kind)));
                run(static_cast<Kind>(kind), k);
            }
        }
        return failed;
    }

    std::error_code openFolder(const std::string& path, EnvHandle& folder) override {
        if (const std::error_code error = hit({Kind::OpenFolder, true, path})) {
            return error;
        }
        const std::error_code error = EnvWrapper::openFolder(path, folder);
        note(folder, !error, true);
        return error;
    }
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        return forward({Kind::PathOf, isFolder(folder), ""}, [&] { return EnvWrapper::pathOf(folder, path); });
    }
    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        return forward({Kind::Look, true, leaf}, [&] { return EnvWrapper::look(folder, leaf, facts); });
    }
    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) override {
        return forward({Kind::ReadLink, true, leaf}, [&] { return EnvWrapper::readLink(folder, leaf, target); });
    }
    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        if (const std::error_code error = hit({Kind::Open, true, leaf})) {
            return error;
        }
        const std::error_code error = EnvWrapper::open(folder, leaf, options, file);
        note(file, !error, false);
        return error;
    }
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to) override {
        return forward({Kind::Rename, true, from + " -> " + to}, [&] { return EnvWrapper::rename(folder, from, to); });
    }
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return forward({Kind::Remove, true, leaf}, [&] { return EnvWrapper::remove(folder, leaf); });
    }
    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        return forward({Kind::MayWrite, true, leaf}, [&] { return EnvWrapper::mayWrite(folder, leaf); });
    }
    std::error_code facts(const EnvHandle& file, FileFacts& facts) override {
        return forward({Kind::Facts, isFolder(file), ""}, [&] { return EnvWrapper::facts(file, facts); });
    }
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        return forward({Kind::Read, false, ""}, [&] { return EnvWrapper::read(file, offset, into, got); });
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return forward({Kind::Write, false, ""}, [&] { return EnvWrapper::write(file, offset, data); });
    }
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return forward({Kind::Truncate, false, ""}, [&] { return EnvWrapper::truncate(file, size); });
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return forward({Kind::Sync, isFolder(fileOrFolder), ""}, [&] { return EnvWrapper::sync(fileOrFolder); });
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return forward({Kind::AdoptAccess, false, ""}, [&] { return EnvWrapper::adoptAccess(file, like); });
    }
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        return forward({Kind::Lock, false, ""}, [&] { return EnvWrapper::lock(file, range, kind); });
    }
    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override {
        return forward({Kind::IsLocked, false, ""}, [&] { return EnvWrapper::isLocked(file, range, locked); });
    }

private:
    // Counts `call`; its error when it is the one to fail.
    std::error_code hit(const Call& call) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const int n = ++m_counts[static_cast<std::size_t>(call.kind)];
        if (call.kind != m_failKind || n != m_failAt) {
            return {};
        }
        m_failed = call;
        return m_error;
    }
    template <class Forward>
    std::error_code forward(const Call& call, Forward&& next) {
        const std::error_code error = hit(call);
        return error ? error : next();
    }
    // Which handles this Env gave out are folders: a handle's number is
    // used again once it is closed, for a file or a folder.
    void note(const EnvHandle& handle, bool opened, bool folder) {
        if (!opened) {
            return;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (folder) {
            m_folders.insert(handle.native());
        } else {
            m_folders.erase(handle.native());
        }
    }
    bool isFolder(const EnvHandle& handle) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_folders.contains(handle.native());
    }

    mutable std::mutex m_mutex;
    std::array<int, kKinds> m_counts{};
    Kind m_failKind = Kind::OpenFolder;
    int m_failAt = 0;
    std::error_code m_error;
    std::optional<Call> m_failed;
    std::set<std::intptr_t> m_folders;
};

} // namespace Zorvan::testing
