// What every Env shares: the installed one, the forwarding wrapper and the
// handle's ownership. The native Envs are in EnvPosix.cpp and EnvWindows.cpp.

#include "FileHandling/Env.h"

#include <utility>

#include "Common/ServiceSlot.h"

namespace Zorvan {
namespace internal {
// Closes a native handle (EnvPosix.cpp, EnvWindows.cpp).
void closeNative(std::intptr_t native) noexcept;
} // namespace internal

namespace {

internal::ServiceSlot<Env>& envSlot() {
    static internal::ServiceSlot<Env> instance(Env::native());
    return instance;
}

} // namespace

EnvHandle& EnvHandle::operator=(EnvHandle&& other) noexcept {
    if (this != &other) {
        EnvHandle gone(m_native);
        m_native = other.release();
    }
    return *this;
}

EnvHandle::~EnvHandle() {
    if (m_native != kClosed) {
        internal::closeNative(m_native);
    }
}

Env::~Env() = default;

std::shared_ptr<Env> Env::current() { return envSlot().get(); }

std::shared_ptr<Env> Env::install(std::shared_ptr<Env> env) {
    return envSlot().exchange(env ? std::move(env) : native());
}

EnvWrapper::EnvWrapper(std::shared_ptr<Env> target) : m_target(std::move(target)) {}
EnvWrapper::~EnvWrapper() = default;

std::error_code EnvWrapper::openFolder(const std::string& path, EnvHandle& folder) {
    return m_target->openFolder(path, folder);
}
std::error_code EnvWrapper::pathOf(const EnvHandle& folder, std::string& path) {
    return m_target->pathOf(folder, path);
}
std::error_code EnvWrapper::look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) {
    return m_target->look(folder, leaf, facts);
}
std::error_code EnvWrapper::readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) {
    return m_target->readLink(folder, leaf, target);
}
std::error_code EnvWrapper::open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                                 EnvHandle& file) {
    return m_target->open(folder, leaf, options, file);
}
std::error_code EnvWrapper::rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                                   WhenTaken whenTaken) {
    return m_target->rename(folder, from, to, whenTaken);
}
std::error_code EnvWrapper::remove(const EnvHandle& folder, const std::string& leaf) {
    return m_target->remove(folder, leaf);
}
std::error_code EnvWrapper::removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) {
    return m_target->removeIf(folder, leaf, file);
}
std::error_code EnvWrapper::mayWrite(const EnvHandle& folder, const std::string& leaf) {
    return m_target->mayWrite(folder, leaf);
}
std::error_code EnvWrapper::facts(const EnvHandle& file, FileFacts& facts) { return m_target->facts(file, facts); }
std::error_code EnvWrapper::read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                                 std::size_t& got) {
    return m_target->read(file, offset, into, got);
}
std::error_code EnvWrapper::write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) {
    return m_target->write(file, offset, data);
}
std::error_code EnvWrapper::truncate(const EnvHandle& file, std::uint64_t size) {
    return m_target->truncate(file, size);
}
std::error_code EnvWrapper::sync(const EnvHandle& fileOrFolder) { return m_target->sync(fileOrFolder); }
std::error_code EnvWrapper::adoptAccess(const EnvHandle& file, const EnvHandle& like) {
    return m_target->adoptAccess(file, like);
}
std::error_code EnvWrapper::lock(const EnvHandle& file, ByteRange range, Lock kind) {
    return m_target->lock(file, range, kind);
}
std::error_code EnvWrapper::isLocked(const EnvHandle& file, ByteRange range, bool& locked) {
    return m_target->isLocked(file, range, locked);
}
void EnvWrapper::sleepFor(std::chrono::milliseconds duration) { m_target->sleepFor(duration); }

ScopedEnv::ScopedEnv(std::shared_ptr<Env> env) : m_previous(Env::install(std::move(env))) {}
ScopedEnv::~ScopedEnv() { Env::install(std::move(m_previous)); }

} // namespace Zorvan
