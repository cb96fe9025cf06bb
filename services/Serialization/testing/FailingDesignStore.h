#pragma once
// A MemoryDesignStore whose every operation first asks a FailAt, so a
// test can make any call fail.

#include <memory>

#include "Serialization/MemoryDesignStore.h"
#include "Common/testing/FailAt.h"

namespace Zorvan::testing {

class FailingDesignStore : public SingleObjectInterface<SerializationTransferObject> {
public:
    explicit FailingDesignStore(FailAt& plan) : m_plan(plan) {}

// Each operation asks the plan first, then the real store answers.
#define ZV_HIT(name) m_plan.hit(#name), real.name
    bool isOpen() const override { return ZV_HIT(isOpen)(); }
    bool readCurrentVersion(std::int32_t& a) override { return ZV_HIT(readCurrentVersion)(a); }
    bool readFileVersion(std::int32_t& a) override { return ZV_HIT(readFileVersion)(a); }
    void markUpdated() override { return ZV_HIT(markUpdated)(); }
    void addGroup(std::int32_t& a) override { return ZV_HIT(addGroup)(a); }
    std::int32_t groupCount() const override { return ZV_HIT(groupCount)(); }
    void readDataRevisionNumber(std::int32_t& a) override { return ZV_HIT(readDataRevisionNumber)(a); }
    void writeDataRevisionNumber(std::int32_t& a) override { return ZV_HIT(writeDataRevisionNumber)(a); }
    void readDataRevision(std::string& a) override { return ZV_HIT(readDataRevision)(a); }
    void writeDataRevision(const std::string& a) override { return ZV_HIT(writeDataRevision)(a); }
    void writeCreatedRevision(const std::string& a) override { return ZV_HIT(writeCreatedRevision)(a); }
    void readCreatedRevision(std::string& a) override { return ZV_HIT(readCreatedRevision)(a); }
    void writeLastSavedRevision(const std::string& a) override { return ZV_HIT(writeLastSavedRevision)(a); }
    void readLastSavedRevision(std::string& a) override { return ZV_HIT(readLastSavedRevision)(a); }
    std::int64_t objectCount() const override { return ZV_HIT(objectCount)(); }
    void commit() override { return ZV_HIT(commit)(); }
    void writeMaxIdentifier(std::int64_t a, std::int16_t b) override { return ZV_HIT(writeMaxIdentifier)(a, b); }
    void readMaxIdentifier(std::int64_t& a, std::int16_t& b) override { return ZV_HIT(readMaxIdentifier)(a, b); }
    bool contains(SerializationTransferObject& a) override { return ZV_HIT(contains)(a); }
    void insert(SerializationTransferObject& a) override { return ZV_HIT(insert)(a); }
    bool read(SerializationTransferObject& a) override { return ZV_HIT(read)(a); }
    void update(SerializationTransferObject& a) override { return ZV_HIT(update)(a); }
#undef ZV_HIT

    mutable MemoryDesignStore real;

private:
    FailAt& m_plan;
};

} // namespace Zorvan::testing
