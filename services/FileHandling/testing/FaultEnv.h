#pragma once
// FaultEnv: an Env that counts the calls made through it, by kind, and
// makes the k-th call of one kind fail with a given error without passing
// it on, so that a test can run a road once to learn which calls it makes
// and then fail each of them in turn. Every other call goes to the Env it
// wraps. It also tells whether the road made the failed call again (the
// same kind, on the same name): a road may do without a call it retries or
// repeats.

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <map>
#include <string>
#include <utility>

#include "FileHandling/Env.h"

namespace Zorvan::testing {

// Called on each failed call: a place for a debugger to stop
// (`break Zorvan::testing::faultInjected`) and show who made it.
[[gnu::noinline]] inline void faultInjected(const char* kind) { asm volatile("" : : "r"(kind) : "memory"); }

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
        Unlock,
        IsLocked,
    };
    static constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::IsLocked) + 1;

    static const char* name(Kind kind) {
        static constexpr std::array<const char*, kKinds> kNames = {
            "openFolder", "pathOf", "look",  "readLink", "open", "rename",      "remove", "mayWrite",
            "facts",      "read",   "write", "truncate", "sync", "adoptAccess", "lock",   "unlock", "isLocked"};
        return kNames[static_cast<std::size_t>(kind)];
    }

    /// One call that reached this Env: its kind, whether it was made on a
    /// folder's handle, and the leaf names it was given (for a call on an
    /// open file, the leaf it was opened by).
    struct Call {
        Kind kind;
        bool onFolder = false;
        std::string names;
        std::string describe() const {
            return std::string(name(kind)) + (onFolder ? " on a folder" : "") + (names.empty() ? "" : " " + names);
        }
        friend bool operator==(const Call&, const Call&) = default;
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
        m_madeAgain = false;
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
    /// Whether the failed call was made again after it failed.
    bool failedCallMadeAgain() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_madeAgain;
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
        note(folder, !error, true, path);
        return error;
    }
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        return forward(on(Kind::PathOf, folder), [&] { return EnvWrapper::pathOf(folder, path); });
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
        note(file, !error, false, leaf);
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
        return forward(on(Kind::Facts, file), [&] { return EnvWrapper::facts(file, facts); });
    }
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        return forward(on(Kind::Read, file), [&] { return EnvWrapper::read(file, offset, into, got); });
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return forward(on(Kind::Write, file), [&] { return EnvWrapper::write(file, offset, data); });
    }
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return forward(on(Kind::Truncate, file), [&] { return EnvWrapper::truncate(file, size); });
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return forward(on(Kind::Sync, fileOrFolder), [&] { return EnvWrapper::sync(fileOrFolder); });
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return forward(on(Kind::AdoptAccess, file), [&] { return EnvWrapper::adoptAccess(file, like); });
    }
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        Call call = on(kind == Lock::Unlocked ? Kind::Unlock : Kind::Lock, file);
        call.names += " at " + std::to_string(range.offset);
        return forward(call, [&] { return EnvWrapper::lock(file, range, kind); });
    }
    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override {
        return forward(on(Kind::IsLocked, file), [&] { return EnvWrapper::isLocked(file, range, locked); });
    }

private:
    // Counts `call`; its error when it is the one to fail.
    std::error_code hit(const Call& call) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const int n = ++m_counts[static_cast<std::size_t>(call.kind)];
        if (call.kind != m_failKind || n != m_failAt) {
            m_madeAgain = m_madeAgain || (m_failed && *m_failed == call);
            return {};
        }
        m_failed = call;
        faultInjected(name(call.kind));
        return m_error;
    }
    template <class Forward>
    std::error_code forward(const Call& call, Forward&& next) {
        const std::error_code error = hit(call);
        return error ? error : next();
    }
    // What each handle this Env gave out was opened as: a handle's number
    // is used again once it is closed, for a file or a folder.
    struct Opened {
        bool folder = false;
        std::string name;
    };
    void note(const EnvHandle& handle, bool opened, bool folder, const std::string& name) {
        if (opened) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_opened[handle.native()] = Opened{folder, name};
        }
    }
    // A call of `kind` on the open `handle`.
    Call on(Kind kind, const EnvHandle& handle) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto opened = m_opened.find(handle.native());
        return opened == m_opened.end() ? Call{kind, false, {}} : Call{kind, opened->second.folder, opened->second.name};
    }

    mutable std::mutex m_mutex;
    std::array<int, kKinds> m_counts{};
    Kind m_failKind = Kind::OpenFolder;
    int m_failAt = 0;
    std::error_code m_error;
    std::optional<Call> m_failed;
    bool m_madeAgain = false;
    std::map<std::intptr_t, Opened> m_opened;
};

} // namespace Zorvan::testing
