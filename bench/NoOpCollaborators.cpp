#include "NoOpCollaborators.h"

#include <cstdint>
#include <string>

namespace Zorvan::bench {
namespace {

class NoOpDesign final : public SingleObjectInterface<SerializationTransferObject> {
public:
    bool isOpen() const override { return true; }
    bool readCurrentVersion(std::int32_t& version) override { return version = 3, true; }
    bool readFileVersion(std::int32_t& version) override { return version = 3, true; }
    void markUpdated() override {}
    void addGroup(std::int32_t& reference) override { reference = 1; }
    std::int32_t groupCount() const override { return 0; }
    void readDataRevisionNumber(std::int32_t& number) override { number = 7; }
    void writeDataRevisionNumber(std::int32_t&) override {}
    void readDataRevision(std::string&) override {}
    void writeDataRevision(const std::string&) override {}
    void writeCreatedRevision(const std::string&) override {}
    void readCreatedRevision(std::string&) override {}
    void writeLastSavedRevision(const std::string&) override {}
    void readLastSavedRevision(std::string&) override {}
    std::int64_t objectCount() const override { return 0; }
    void commit() override {}
    void writeMaxIdentifier(std::int64_t, std::int16_t) override {}
    void readMaxIdentifier(std::int64_t&, std::int16_t&) override {}
    bool contains(SerializationTransferObject&) override { return true; }
    void insert(SerializationTransferObject&) override {}
    bool read(SerializationTransferObject&) override { return true; }
    void update(SerializationTransferObject&) override {}
};

// Hands out no handles (a closed one closes nothing): every name is a
// regular file with one name, and every call on it succeeds.
class NoOpEnv final : public Env {
public:
    explicit NoOpEnv(bool readOnly) : m_readOnly(readOnly) {}
    std::error_code openFolder(const std::string&, EnvHandle&) override { return {}; }
    std::error_code pathOf(const EnvHandle&, std::string& path) override { return path = ".", std::error_code(); }
    std::error_code look(const EnvHandle&, const std::string&, FileFacts& facts) override {
        return facts.kind = FileFacts::Kind::Regular, std::error_code();
    }
    std::error_code readLink(const EnvHandle&, const std::string&, std::string&) override { return {}; }
    std::error_code open(const EnvHandle&, const std::string&, const OpenOptions&, EnvHandle&) override { return {}; }
    std::error_code rename(const EnvHandle&, const std::string&, const std::string&, WhenTaken) override { return {}; }
    std::error_code remove(const EnvHandle&, const std::string&) override { return {}; }
    std::error_code removeIf(const EnvHandle&, const std::string&, const FileIdentity&) override { return {}; }
    std::error_code mayWrite(const EnvHandle&, const std::string&) override {
        return m_readOnly ? std::make_error_code(std::errc::permission_denied) : std::error_code();
    }
    std::error_code facts(const EnvHandle&, FileFacts& facts) override {
        return facts.kind = FileFacts::Kind::Regular, std::error_code();
    }
    std::error_code read(const EnvHandle&, std::uint64_t, std::span<char>, std::size_t& got) override {
        return got = 0, std::error_code();
    }
    std::error_code write(const EnvHandle&, std::uint64_t, std::span<const char>) override { return {}; }
    std::error_code truncate(const EnvHandle&, std::uint64_t) override { return {}; }
    std::error_code sync(const EnvHandle&) override { return {}; }
    std::error_code adoptAccess(const EnvHandle&, const EnvHandle&) override { return {}; }
    std::error_code lock(const EnvHandle&, ByteRange, Lock) override { return {}; }
    std::error_code isLocked(const EnvHandle&, ByteRange, bool& locked) override {
        return locked = false, std::error_code();
    }
    void sleepFor(std::chrono::milliseconds) override {}

private:
    bool m_readOnly;
};

class NoOpSink final : public LogSink {
public:
    void write(const LogRecord&) override {}
};

} // namespace

SerializationHandle noOpDesign() { return std::make_shared<NoOpDesign>(); }
std::shared_ptr<Env> noOpEnv(bool readOnly) { return std::make_shared<NoOpEnv>(readOnly); }
std::shared_ptr<LogSink> noOpSink() { return std::make_shared<NoOpSink>(); }

} // namespace Zorvan::bench
