// The design kept in memory, which tests and examples use in place of a
// file, and the values that travel through the serialization interface.

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "Serialization/MemoryDesignStore.h"

namespace Zorvan {
namespace {

// Objects are found by identity, a second version replaces the first, and
// the counts and the commit are what was done.
TEST(MemoryDesign, KeepsWhatIsWritten) {
    MemoryDesignStore store;
    SerializationTransferObject probe(1, "", "");
    EXPECT_TRUE(store.isOpen());
    EXPECT_FALSE(store.read(probe));
    for (const char* payload : {"a", "b"}) {
        SerializationTransferObject pipe(1, "Pipe", payload);
        store.contains(pipe) ? store.update(pipe) : store.insert(pipe);
    }
    ASSERT_TRUE(store.read(probe));
    EXPECT_EQ(probe, SerializationTransferObject(1, "Pipe", "b"));
    std::int32_t group = 0;
    store.addGroup(group);
    store.addGroup(group);
    store.commit();
    EXPECT_EQ(std::tuple(store.objectCount(), store.groupCount(), group, store.commits), std::tuple(1, 2, 2, 1));
}

// A progress report reaches the host's callback, or nobody; a renamed type
// is read under its new name, any other under its own.
TEST(SerializationValues, ProgressAndRenamesReachWhereTheyShould) {
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    Progress([&](std::int64_t done, std::int64_t total) { reports.emplace_back(done, total); }).report(2, 5);
    Progress().report(1, 1);
    EXPECT_EQ(reports, (std::vector<std::pair<std::int64_t, std::int64_t>>{{2, 5}}));
    LoadRefactoringMap renames;
    renames.addRename("Tube", "Pipe");
    EXPECT_EQ(renames.resolve("Tube"), "Pipe");
    EXPECT_EQ(renames.resolve("Valve"), "Valve");
}

} // namespace
} // namespace Zorvan
