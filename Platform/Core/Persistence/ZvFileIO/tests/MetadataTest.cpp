// What the library reads and writes in a design's metadata: whether a
// design file can be opened, the version log line, what a save writes, and
// an empty handle refused by every operation. What the identifier counter
// does with the values files carry is tested with the identifier service.

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/MemoryDesignStore.h"
#include "Serialization/testing/FailingDesignStore.h"
#include "Logging/Logging.h"
#include "Translation/Translator.h"
#include "VersionControl/VersionControl.h"

namespace Zorvan {
namespace {

using namespace ::testing;

// A store whose versions are the ones given; none: it cannot be read.
struct Versions final : Zorvan::testing::FailingDesignStore {
    Versions() : FailingDesignStore(never) {}
    static bool answer(std::optional<int> value, std::int32_t& v) { return v = value.value_or(v), value.has_value(); }
    bool readFileVersion(std::int32_t& version) override { return answer(file, version); }
    bool readCurrentVersion(std::int32_t& version) override { return answer(current, version); }
    std::optional<int> file, current;
    static inline Zorvan::testing::FailAt never; // fails nothing
};


// A file newer than the software, or of a version below any, is refused;
// an older one is readable, the same one current. A version that cannot be
// read, the file's or the software's, is an exception, and logged (that it
// is translated, the translation test sees). The line logged on opening a file gives its version (-1 when
// it cannot be read) and revisions. The handle and the progress are let go.
TEST(Version, DecidesFromTheFilesVersionAndTheSoftwares) {
    enum Outcome { Refused, Readable, Current, Unreadable };
    // The file's version and the software's (none: unreadable), and the outcome.
    const std::tuple<std::optional<int>, std::optional<int>, Outcome> cases[] = {{3, 5, Readable}, {5, 5, Current},
        {0, 0, Current}, {6, 5, Refused}, {-1, 5, Refused}, {-3, -3, Refused}, {{}, 5, Unreadable}, {3, {}, Unreadable}};
    const auto unreadable = Throws<FileOpenException>(Truly([](const FileOpenException& e) {
        return e.getType() == FileOpenException::Type::VersionUnreadable && e.what() == std::string("Error reading file version.");
    }));
    for (const auto& [file, current, outcome] : cases) {
        SCOPED_TRACE(::testing::Message() << file.value_or(99) << " " << current.value_or(99));
        const auto log = std::make_shared<MemorySink>();
        const ScopedLogSink sink(log);
        auto handle = std::make_shared<Versions>();
        std::tie(handle->file, handle->current, handle->real.createdRevision, handle->real.lastSavedRevision) =
            std::tuple(file, current, "r1", "r2");
        auto progress = std::make_shared<Progress>();
        if (outcome == Unreadable) {
            EXPECT_THAT([&] { (void)ZvFileIO().verifyZVVersion(handle, progress); }, unreadable);
            EXPECT_THAT([&] { (void)ZvFileIO().isCurrentZVVersion(handle); }, unreadable);
            EXPECT_THAT(log->records(), AllOf(SizeIs(2), Each(AllOf(Field(&LogRecord::level, LogLevel::Error),
                                                                   Field(&LogRecord::message, "Error reading file version.")))));
        } else {
            EXPECT_EQ(ZvFileIO().verifyZVVersion(handle, progress), outcome != Refused);
            EXPECT_EQ(ZvFileIO().isCurrentZVVersion(handle), outcome == Current);
            EXPECT_THAT(log->records(), IsEmpty());
        }
        log->clear();
        ZvFileIO::logFileVersionInfo("ignored.zvd", handle);
        EXPECT_THAT(log->records(), ElementsAre(AllOf(Field(&LogRecord::level, LogLevel::Info),
                                                      Field(&LogRecord::message, "Opening file (version: " + std::to_string(file.value_or(-1)) +
                                                                                     " created with revision: r1 last saved with revision: r2)"))));
        EXPECT_EQ(handle.use_count() + progress.use_count(), 2);
    }
}

// Opening an empty handle is refused as a file whose version cannot be
// read (as the translation test sees), and logged; its log line is left
// out; everything else is a bad argument.
TEST(Version, AnEmptyHandleIsRefusedByEveryOperation) {
    const auto log = std::make_shared<MemorySink>();
    const ScopedLogSink sink(log);
    EXPECT_THROW((void)ZvFileIO().isCurrentZVVersion(nullptr), FileOpenException);
    ZvFileIO::logFileVersionInfo("a.zvd", nullptr);
    EXPECT_EQ(log->records().size(), 1u);
    for (const std::function<void()>& call : std::initializer_list<std::function<void()>>{
             [] { ZvFileIO::writeMetaData(nullptr, "", 0, ZvFileWriteMode::Overwrite, ""); },
             [] { std::string r; std::int32_t n = 0; ZvFileIO().getDataRevision(nullptr, r, n); }, [] { ZvFileIO().createGroup(nullptr); },
             [] { ZvFileIO::readMaxIdentifierValue(nullptr); }, [] { ZvFileIO::updateMaxIdentifierValue(nullptr); }}) {
        EXPECT_THROW(call(), std::invalid_argument);
    }
}

// What a save writes, per mode: the data revision always; who created the
// file (kept when given) for a rewrite alone; who saved it last always; one
// more update for an update in place; the identifier counter as it stands.
// What the host reads back, and a group it adds.
TEST(Metadata, ASaveWritesWhatItsModeSays) {
    const std::string build = VersionControl().getRootRevisionAsString();
    ASSERT_FALSE(build.empty());
    // The mode, the created revision the caller passes, the one written, the updates marked.
    const std::tuple<int, const char*, std::string, int> cases[] = {{0, "", build, 0}, {0, "r0", "r0", 0},
        {1, "r0", "before", 1}, {2, "", "before", 1}, {3, "r0", "before", 0}, {-1, "", "before", 0}};
    for (const auto& [mode, given, created, updates] : cases) {
        SCOPED_TRACE("mode " + std::to_string(mode) + " given '" + given + "'");
        auto store = std::make_shared<MemoryDesignStore>();
        store->createdRevision = "before";
        const std::int64_t last = Identifier::create().number;
        EXPECT_EQ(ZvFileIO::writeMetaData(store, "data-7", 7, static_cast<ZvFileWriteMode>(mode), given), build);
        std::string revision;
        std::int32_t number = 0;
        ZvFileIO().getDataRevision(store, revision, number);
        ZvFileIO().createGroup(store);
        EXPECT_EQ(std::tie(store->dataRevision, store->dataRevisionNumber, store->createdRevision, store->lastSavedRevision,
                           store->updateMarks, store->maxIdentifierNumber, revision, number, store->groups),
                  std::make_tuple(std::string("data-7"), 7, created, build, updates, last + 1, std::string("data-7"), 7, 1));
        EXPECT_EQ(store.use_count(), 1);
    }
}

} // namespace
} // namespace Zorvan
