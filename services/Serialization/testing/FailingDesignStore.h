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

    bool isOpen() const override { return m_plan.hit("isOpen"), real.isOpen(); }
    bool readCurrentVersion(std::int32_t& v) override {
        return m_plan.hit("readCurrentVersion"), real.readCurrentVersion(v);
    }
    bool readFileVersion(std::int32_t& v) override { return m_plan.hit("readFileVersion"), real.readFileVersion(v); }
    void markUpdated() override { m_plan.hit("markUpdated"), real.markUpdated(); }
    void addGroup(std::int32_t& r) override { m_plan.hit("addGroup"), real.addGroup(r); }
    std::int32_t groupCount() const override { return m_plan.hit("groupCount"), real.groupCount(); }
    void readDataRevisionNumber(std::int32_t& n) override {
        m_plan.hit("readDataRevisionNumber"), real.readDataRevisionNumber(n);
    }
    void writeDataRevisionNumber(std::int32_t& n) override {
        m_plan.hit("writeDataRevisionNumber"), real.writeDataRevisionNumber(n);
    }
    void readDataRevision(std::string& r) override { m_plan.hit("readDataRevision"), real.readDataRevision(r); }
    void writeDataRevision(const std::string& r) override { m_plan.hit("writeDataRevision"), real.writeDataRevision(r); }
    void writeCreatedRevision(const std::string& r) override {
        m_plan.hit("writeCreatedRevision"), real.writeCreatedRevision(r);
    }
    void readCreatedRevision(std::string& r) override { m_plan.hit("readCreatedRevision"), real.readCreatedRevision(r); }
    void writeLastSavedRevision(const std::string& r) override {
        m_plan.hit("writeLastSavedRevision"), real.writeLastSavedRevision(r);
    }
    void readLastSavedRevision(std::string& r) override {
        m_plan.hit("readLastSavedRevision"), real.readLastSavedRevision(r);
    }
    std::int64_t objectCount() const override { return m_plan.hit("objectCount"), real.objectCount(); }
    void commit() override { m_plan.hit("commit"), real.commit(); }
    void writeMaxIdentifier(std::int64_t n, std::int16_t d) override {
        m_plan.hit("writeMaxIdentifier"), real.writeMaxIdentifier(n, d);
    }
    void readMaxIdentifier(std::int64_t& n, std::int16_t& d) override {
        m_plan.hit("readMaxIdentifier"), real.readMaxIdentifier(n, d);
    }
    bool contains(SerializationTransferObject& o) override { return m_plan.hit("contains"), real.contains(o); }
    void insert(SerializationTransferObject& o) override { m_plan.hit("insert"), real.insert(o); }
    bool read(SerializationTransferObject& o) override { return m_plan.hit("read"), real.read(o); }
    void update(SerializationTransferObject& o) override { m_plan.hit("update"), real.update(o); }

    mutable MemoryDesignStore real;

private:
    FailAt& m_plan;
};

} // namespace Zorvan::testing
