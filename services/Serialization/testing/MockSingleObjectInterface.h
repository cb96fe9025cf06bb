#pragma once
// A gMock double of the serialization interface, for tests that check
// which operations are called, in which order and with which values.

#include <gmock/gmock.h>

#include "Serialization/SingleObjectInterface.h"

namespace Zorvan::testing {

class MockSingleObjectInterface : public SingleObjectInterface<SerializationTransferObject> {
public:
    MOCK_METHOD(bool, isOpen, (), (const, override));
    MOCK_METHOD(bool, readCurrentVersion, (std::int32_t&), (override));
    MOCK_METHOD(bool, readFileVersion, (std::int32_t&), (override));
    MOCK_METHOD(void, markUpdated, (), (override));
    MOCK_METHOD(void, addGroup, (std::int32_t&), (override));
    MOCK_METHOD(std::int32_t, groupCount, (), (const, override));
    MOCK_METHOD(void, readDataRevisionNumber, (std::int32_t&), (override));
    MOCK_METHOD(void, writeDataRevisionNumber, (std::int32_t&), (override));
    MOCK_METHOD(void, readDataRevision, (std::string&), (override));
    MOCK_METHOD(void, writeDataRevision, (const std::string&), (override));
    MOCK_METHOD(void, writeCreatedRevision, (const std::string&), (override));
    MOCK_METHOD(void, readCreatedRevision, (std::string&), (override));
    MOCK_METHOD(void, writeLastSavedRevision, (const std::string&), (override));
    MOCK_METHOD(void, readLastSavedRevision, (std::string&), (override));
    MOCK_METHOD(std::int64_t, objectCount, (), (const, override));
    MOCK_METHOD(void, commit, (), (override));
    MOCK_METHOD(void, writeMaxIdentifier, (std::int64_t, std::int16_t), (override));
    MOCK_METHOD(void, readMaxIdentifier, (std::int64_t&, std::int16_t&), (override));
    MOCK_METHOD(bool, contains, (SerializationTransferObject&), (override));
    MOCK_METHOD(void, insert, (SerializationTransferObject&), (override));
    MOCK_METHOD(bool, read, (SerializationTransferObject&), (override));
    MOCK_METHOD(void, update, (SerializationTransferObject&), (override));
};

} // namespace Zorvan::testing
