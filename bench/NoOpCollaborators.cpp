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

class NoOpFileSystem final : public FileSystem {
public:
    explicit NoOpFileSystem(bool readOnly) : m_readOnly(readOnly) {}
    bool exists(const FileName&, bool) override { return true; }
    bool isReadOnly(const FileName&) override { return m_readOnly; }
    void remove(const FileName&) override {}
    bool replaceFile(const FileName&, const FileName&) override { return true; }

private:
    bool m_readOnly;
};

class NoOpSink final : public LogSink {
public:
    void write(const LogRecord&) override {}
};

} // namespace

SerializationHandle noOpDesign() { return std::make_shared<NoOpDesign>(); }
std::shared_ptr<FileSystem> noOpFileSystem(bool readOnly) { return std::make_shared<NoOpFileSystem>(readOnly); }
std::shared_ptr<LogSink> noOpSink() { return std::make_shared<NoOpSink>(); }

} // namespace Zorvan::bench
