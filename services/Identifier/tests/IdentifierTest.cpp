// The identifier counter: what create() hands out as design files are
// merged into it, and what a save writes back. The merge and the counter's
// snapshot are private to the service; ZvFileIO, their one caller, reaches
// them here as a host does, over a design kept in memory.
//
// The counter only grows, for the whole process: the tests below run in
// this order in one program (and each alone under CTest).

#include <gmock/gmock.h>

#include <limits>
#include <stdexcept>
#include <thread>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"

namespace Zorvan {

// Found by gtest through the namespace of IdValue.
[[maybe_unused]] static void PrintTo(const Identifier::IdValue& id, std::ostream* os) {
    *os << '(' << id.number << ", " << id.domain << ')';
}

namespace {

using Id = Identifier::IdValue;

// Merges a file that carries `value` into the counter.
void open(Id value) {
    const auto file = std::make_shared<MemoryDesignStore>();
    std::tie(file->maxIdentifierNumber, file->maxIdentifierDomain) = std::tuple(value.number, value.domain);
    ZvFileIO::readMaxIdentifierValue(file);
}

// The counter a save writes into its file now.
Id saved() {
    auto file = std::make_shared<MemoryDesignStore>();
    ZvFileIO::updateMaxIdentifierValue(file);
    return {file->maxIdentifierNumber, file->maxIdentifierDomain};
}

// Files opened on two threads while both save: the counter never goes back,
// and no save writes a value at or below an identifier handed out.
TEST(Identifier, ConcurrentMergesAndSavesStayConsistent) {
    constexpr int kRounds = 2000;
    const std::int64_t base = Identifier::create().number + 10;
    const auto work = [base](int offset) {
        for (int i = 0; i < kRounds; ++i) {
            open({base + 2 * i + offset, 0});
            const std::int64_t before = Identifier::create().number;
            ASSERT_GT(saved().number, before);
        }
    };
    { const std::jthread a(work, 0), b(work, 1); } // joined here
    EXPECT_GE(Identifier::create().number, base + 2 * kRounds - 1);
}

// Each row opens a file carrying `merged` (none: no file), then creates
// identifiers: the first must be `created`, and a save afterwards must
// write the next one, in the same domain. The domain weighs before the
// number, and a domain's numbers run to the last 64-bit value.
TEST(Identifier, MergedFilesDecideWhatIsCreatedNext) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();
    const std::int64_t n = Identifier::create().number + 1; // the counter as earlier tests left it
    // alsoCreated: identifiers created after the first, before the save; reserved: reserveThrough() after the
    // merge (0 reserves nothing).
    struct Row { const char* what; Id merged; Id created; int alsoCreated = 0; std::int64_t reserved = 0; };
    const Row rows[] = {
        {"a file without a counter changes nothing", {0, 0}, {n, 0}},
        {"nor does an older counter", {n - 1, 0}, {n + 1, 0}},
        {"a later domain wins with a smaller number", {5, 2}, {5, 2}},
        {"an earlier domain loses with a larger number", {1'000'000, 1}, {6, 2}},
        {"the same domain with a larger number wins", {40, 2}, {40, 2}},
        {"reserving a number behind the counter changes nothing", {0, 0}, {41, 2}, 0, 30},
        {"the number the counter stands at is not handed out once reserved", {0, 0}, {43, 2}, 0, 42},
        {"numbers go past 32 bits", {kMax32, 2}, {kMax32, 2}, 2},
        {"a domain ends one before the last value", {kMax - 3, 3}, {kMax - 3, 3}, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        open(row.merged);
        Identifier::reserveThrough(row.reserved);
        Id next{};
        for (int i = 0; i <= row.alsoCreated; ++i) {
            EXPECT_EQ(next = Identifier::create(), (Id{row.created.number + i, row.created.domain}));
        }
        EXPECT_EQ(saved(), (Id{next.number + 1, next.domain}));
    }

    // Domain 3 is used up now: create() refuses, over and over, and saves
    // still write where it stands; a later domain starts afresh.
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THAT([] { (void)Identifier::create(); },
                    ::testing::ThrowsMessage<std::overflow_error>("identifier numbers of domain 3 are used up"));
    }
    EXPECT_EQ(saved(), (Id{kMax, 3}));
    open({1, 4});
    EXPECT_EQ(Identifier::create(), (Id{1, 4}));
}

} // namespace
} // namespace Zorvan
