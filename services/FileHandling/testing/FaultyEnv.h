#pragma once
// FaultyEnv: the native Env with a hook before every call, for tests that
// fail one operation of the save road, change the disk right before it, or
// record it. It also records the options of every open that creates a
// file, and every pause asked for, which it does not wait. Install it with
// ScopedEnv; meant for one thread at a time.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "FileHandling/Env.h"

namespace Zorvan::testing {

class FaultyEnv final : public EnvWrapper {
public:
    // Called before each call with the operation's name ("open", "lock",
    // ...) and the leaf or path it is about (empty for an open file). An
    // error it returns is the call's result, and the call is not made.
    using Hook = std::function<std::error_code(std::string_view operation, const std::string& name)>;

    explicit FaultyEnv(Hook hook = {}) : EnvWrapper(Env::native()), before(std::move(hook)) {}

    // A hook that fails `count` calls of `operation` with `error`, from the
    // `nth` (from 1) on.
    static Hook failing(std::string operation, int nth, std::error_code error, int count = 1) {
        return [=, seen = 0](std::string_view called, const std::string&) mutable {
            return called == operation && ++seen >= nth && seen < nth + count ? error : std::error_code();
        };
    }

    Hook before;
    std::vector<OpenOptions> created;
    std::vector<std::chrono::milliseconds> pauses;

    std::error_code openFolder(const std::string& path, EnvHandle& folder) override {
        return hooked("openFolder", path, [&] { return EnvWrapper::openFolder(path, folder); });
    }
    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        return hooked("look", leaf, [&] { return EnvWrapper::look(folder, leaf, facts); });
    }
    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        if (options.creation == OpenOptions::Creation::New) {
            created.push_back(options);
        }
        return hooked("open", leaf, [&] { return EnvWrapper::open(folder, leaf, options, file); });
    }
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to) override {
        return hooked("rename", from, [&] { return EnvWrapper::rename(folder, from, to); });
    }
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return hooked("remove", leaf, [&] { return EnvWrapper::remove(folder, leaf); });
    }
    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        return hooked("removeIf", leaf, [&] { return EnvWrapper::removeIf(folder, leaf, file); });
    }
    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        return hooked("mayWrite", leaf, [&] { return EnvWrapper::mayWrite(folder, leaf); });
    }
    std::error_code facts(const EnvHandle& file, FileFacts& facts) override {
        return hooked("facts", "", [&] { return EnvWrapper::facts(file, facts); });
    }
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        return hooked("read", "", [&] { return EnvWrapper::read(file, offset, into, got); });
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return hooked("write", "", [&] { return EnvWrapper::write(file, offset, data); });
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return hooked("sync", "", [&] { return EnvWrapper::sync(fileOrFolder); });
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return hooked("adoptAccess", "", [&] { return EnvWrapper::adoptAccess(file, like); });
    }
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        const char* operation = kind == Lock::Unlocked ? "unlock" : "lock";
        return hooked(operation, "", [&] { return EnvWrapper::lock(file, range, kind); });
    }
    void sleepFor(std::chrono::milliseconds duration) override { pauses.push_back(duration); }

private:
    template <class Call>
    std::error_code hooked(std::string_view operation, const std::string& name, Call call) {
        if (before) {
            if (const std::error_code error = before(operation, name)) {
                return error;
            }
        }
        return call();
    }
};

} // namespace Zorvan::testing
