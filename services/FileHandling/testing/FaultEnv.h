#pragma once
// FaultEnv: an Env that sees every call made through it, for tests that fail
// calls, change the disk right before one, or count them. Every call it does
// not fail goes to the Env it wraps (the native one).
//
// - A hook (`before`) runs before each call with the call's kind and name;
//   an error it returns is the call's result, and the call is not made.
//   failing() makes a hook that fails the n-th call of one kind.
// - failEachCall() runs a road once to count its calls by kind, then once
//   for each of them with that call failing, and tells whether the road
//   made the failed call again (the same kind, on the same name): a road may
//   do without a call it retries or repeats.
// - Opens that create a file are recorded with their options, and pauses
//   asked for are recorded and not waited.
//
// Safe to use from several threads at once.

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FileHandling/Env.h"

namespace Zorvan::testing {

class FaultEnv final : public EnvWrapper {
public:
    enum class Kind { OpenFolder, PathOf, Look, ReadLink, Open, Rename, Remove, RemoveIf, MayWrite, Facts, Read, Write,
                      Truncate, Sync, AdoptAccess, Lock, Unlock, IsLocked };
    static constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::IsLocked) + 1;

    static const char* name(Kind kind) {
        static constexpr std::array<const char*, kKinds> kNames = {
            "openFolder", "pathOf", "look",     "readLink", "open", "rename",      "remove", "removeIf", "mayWrite",
            "facts",      "read",   "write",    "truncate", "sync", "adoptAccess", "lock",   "unlock",   "isLocked"};
        return kNames[static_cast<std::size_t>(kind)];
    }

    /// One call that reached this Env: its kind, whether it was made on a
    /// folder, and the name it was given (for a call on an open file or
    /// folder, the name it was opened by).
    struct Call {
        Kind kind;
        bool onFolder = false;
        std::string names;
        std::string describe() const {
            return std::string(name(kind)) + (onFolder ? " on a folder" : "") + (names.empty() ? "" : " " + names);
        }
        friend bool operator==(const Call&, const Call&) = default;
    };

    using Hook = std::function<std::error_code(Kind kind, const std::string& name)>;

    explicit FaultEnv(Hook hook = {})
        : EnvWrapper(Env::native()), m_before(hook ? std::make_shared<Hook>(std::move(hook)) : nullptr) {}

    /// A hook that fails `count` calls of `kind` with `error`, from the
    /// `nth` (from 1) on.
    static Hook failing(Kind kind, int nth, std::error_code error, int count = 1) {
        return [=, seen = 0](Kind called, const std::string&) mutable {
            return called == kind && ++seen >= nth && seen < nth + count ? error : std::error_code();
        };
    }

    /// The options of every open that created a file; every pause asked for
    /// (none was waited).
    std::vector<OpenOptions> created() const { return locked(m_created); }
    std::vector<std::chrono::milliseconds> pauses() const { return locked(m_pauses); }
    /// The call that failEachCall failed, once it was made; whether a call of
    /// `kind` was made before it; whether it was made again after it failed.
    std::optional<Call> failed() const { return locked(m_failed); }
    bool madeBeforeFailure(Kind kind) const { return locked(m_madeBefore)[static_cast<std::size_t>(kind)]; }
    bool failedCallMadeAgain() const { return locked(m_madeAgain); }

    /// Calls `run(kind, 0)` once with no call failing, to count the calls it
    /// makes, then `run(kind, k)` once for each of them with the k-th call
    /// of that kind failing with `errorOf(kind)`. Returns how many calls
    /// were failed.
    template <class ErrorOf, class Run>
    int failEachCall(ErrorOf&& errorOf, Run&& run) {
        failAt(Kind::OpenFolder, 0, {});
        run(Kind::OpenFolder, 0);
        const std::array<int, kKinds> counted = locked(m_counts);
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
        return opening({Kind::OpenFolder, true, path}, folder, [&] { return target().openFolder(path, folder); });
    }
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        return forward(on(Kind::PathOf, folder), [&] { return target().pathOf(folder, path); });
    }
    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        return forward({Kind::Look, true, leaf}, [&] { return target().look(folder, leaf, facts); });
    }
    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& to) override {
        return forward({Kind::ReadLink, true, leaf}, [&] { return target().readLink(folder, leaf, to); });
    }
    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        if (options.creation == OpenOptions::Creation::New) {
            const std::lock_guard lock(m_mutex);
            m_created.push_back(options);
        }
        return opening({Kind::Open, false, leaf}, file, [&] { return target().open(folder, leaf, options, file); });
    }
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override {
        return forward({Kind::Rename, true, from + " -> " + to},
                       [&] { return target().rename(folder, from, to, whenTaken); });
    }
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return forward({Kind::Remove, true, leaf}, [&] { return target().remove(folder, leaf); });
    }
    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        return forward({Kind::RemoveIf, true, leaf}, [&] { return target().removeIf(folder, leaf, file); });
    }
    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        return forward({Kind::MayWrite, true, leaf}, [&] { return target().mayWrite(folder, leaf); });
    }
    std::error_code facts(const EnvHandle& file, FileFacts& facts) override {
        return forward(on(Kind::Facts, file), [&] { return target().facts(file, facts); });
    }
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        return forward(on(Kind::Read, file), [&] { return target().read(file, offset, into, got); });
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return forward(on(Kind::Write, file), [&] { return target().write(file, offset, data); });
    }
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return forward(on(Kind::Truncate, file), [&] { return target().truncate(file, size); });
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return forward(on(Kind::Sync, fileOrFolder), [&] { return target().sync(fileOrFolder); });
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return forward(on(Kind::AdoptAccess, file), [&] { return target().adoptAccess(file, like); });
    }
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        Call call = on(kind == Lock::Unlocked ? Kind::Unlock : Kind::Lock, file);
        call.names += " at " + std::to_string(range.offset);
        return forward(call, [&] { return target().lock(file, range, kind); });
    }
    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& held) override {
        return forward(on(Kind::IsLocked, file), [&] { return target().isLocked(file, range, held); });
    }
    void sleepFor(std::chrono::milliseconds duration) override {
        const std::lock_guard lock(m_mutex);
        m_pauses.push_back(duration);
    }

private:
    template <class T>
    T locked(const T& value) const {
        const std::lock_guard lock(m_mutex);
        return value;
    }
    // From now on, counts anew and fails the `k`-th call of `kind` (counted
    // from 1; 0: none) with `error`.
    void failAt(Kind kind, int k, std::error_code error) {
        const std::lock_guard lock(m_mutex);
        m_counts = {};
        m_failKind = kind;
        m_failAt = k;
        m_error = error;
        m_failed.reset();
        m_madeAgain = false;
        m_madeBefore = {};
    }
    // Counts `call` and fails it when it is the one to fail; then asks the hook.
    template <class Forward>
    std::error_code forward(const Call& call, Forward&& next) {
        bool failing = false;
        {
            const std::lock_guard lock(m_mutex);
            const auto kind = static_cast<std::size_t>(call.kind);
            failing = ++m_counts[kind] == m_failAt && call.kind == m_failKind;
            if (failing) {
                m_failed = call;
                if (m_error) {
                    return m_error;
                }
            } else {
                m_madeAgain = m_madeAgain || (m_failed && *m_failed == call);
                m_madeBefore[kind] = m_madeBefore[kind] || !m_failed;
            }
        }
        // The call to fail with no error is made as it is (a lock let go of
        // must go); any other is shown to the hook first, outside the mutex:
        // a hook may change the disk through this Env.
        const std::error_code error = !failing && m_before ? (*m_before)(call.kind, call.names) : std::error_code();
        return error ? error : next();
    }
    // Remembers what each handle this Env gave out was opened as: a handle's
    // number is used again once it is closed, for a file or a folder.
    template <class Forward>
    std::error_code opening(const Call& call, const EnvHandle& handle, Forward&& next) {
        const std::error_code error = forward(call, std::forward<Forward>(next));
        if (!error) {
            const std::lock_guard lock(m_mutex);
            m_opened[handle.native()] = call;
        }
        return error;
    }
    // A call of `kind` on the open `handle`.
    Call on(Kind kind, const EnvHandle& handle) const {
        const std::lock_guard lock(m_mutex);
        const auto opened = m_opened.find(handle.native());
        return opened == m_opened.end() ? Call{kind, false, {}} : Call{kind, opened->second.onFolder, opened->second.names};
    }

    mutable std::mutex m_mutex;
    const std::shared_ptr<Hook> m_before; // shared, not copied: a hook counts what it sees
    std::vector<OpenOptions> m_created;
    std::vector<std::chrono::milliseconds> m_pauses;
    std::array<int, kKinds> m_counts{};
    Kind m_failKind = Kind::OpenFolder;
    int m_failAt = 0;
    std::error_code m_error;
    std::optional<Call> m_failed;
    bool m_madeAgain = false;
    std::array<bool, kKinds> m_madeBefore{};
    std::map<std::intptr_t, Call> m_opened; // what each handle was opened as
};

} // namespace Zorvan::testing
