// The values that travel through the serialization interface. (The design
// kept in memory is exercised through the failing store that wraps it.)

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "Serialization/SerializationTypes.h"

namespace Zorvan {
namespace {

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
