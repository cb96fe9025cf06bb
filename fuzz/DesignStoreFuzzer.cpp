// Fuzz target: arbitrary bytes opened as a design file through the SQLite
// design store, as a host opens a file a user picked. Invariants:
//   - openForReading opens any existing file without throwing, and never
//     changes it, but for a database in write-ahead mode, which it refuses
//     with FileErrc::WriteAheadMode (and which nothing else opens);
//   - readFileVersion throws only for a damaged file (FileErrc::Damaged),
//     and false leaves the caller's variable alone;
//   - the library agrees with the store: verifyZVVersion accepts exactly
//     the versions 0..kCurrentVersion of a file whose version was read, and
//     raises FileOpenException(VersionUnreadable) for any other file;
//   - every other read fails, if at all, with FileError;
//   - openForWriting either refuses with FileError or gives a
//     handle bound to a design; it takes an empty file, and no file that
//     is not a design but carries another program's mark; writes through that handle fail, if at all,
//     with FileError, and dropping it without commit() leaves
//     the file byte for byte as it was;
//   - salvageDesign either writes a new design holding the objects it
//     reports or refuses with DesignRefusedException, and never changes
//     the file it salvages.
// Any other exception, a crash or a sanitizer report is a finding.
//
// Speed (each input opens two connections, so a run is slow next to a
// pure target): the files live in a folder of this process's own, on
// /dev/shm when there is one; SQLite's lookaside allocator and memory
// statistics are off (without lookaside every small allocation of SQLite
// goes through the sanitizer's allocator, which also lets AddressSanitizer
// see a misuse of memory SQLite handed out); and AddressSanitizer's
// defaults below trade a shorter use-after-free window for about four
// times the throughput. ASAN_OPTIONS still overrides them.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#include <sqlite3.h>

#include "FileHandling/FileName.h"
#include "FuzzCheck.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/DesignSalvage/DesignSalvage.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/SqliteDesignStore.h"

namespace {

namespace fs = std::filesystem;
using namespace Zorvan;

// A fresh folder, removed with its content when the process exits normally.
struct ScratchFolder {
    const fs::path path = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                          ("zv-designstore-fuzz-" + std::to_string(std::random_device()()));
    ScratchFolder() { fs::create_directory(path); }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// Process-wide SQLite settings; they take effect only before the first
// connection is opened.
bool configureSqlite() {
    return sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0) == SQLITE_OK &&
           sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
}

// Log lines of every refused file would bury the fuzzer's own output.
struct DiscardSink final : LogSink {
    void write(const LogRecord& /*record*/) override {}
};

// Writes `bytes` as `file`, with no journal or WAL file of an earlier input
// beside it: SQLite would take one as part of this database.
void writeFresh(const fs::path& file, const std::string& bytes) {
    std::error_code ignored;
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        fs::remove(fs::path(file).concat(suffix), ignored);
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The file's bytes; none when it is gone.
std::optional<std::string> contentOf(const fs::path& file) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error) {
        return std::nullopt;
    }
    std::string content(static_cast<std::size_t>(size), '\0');
    std::ifstream(file, std::ios::binary).read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

// Every read a host makes after opening. Throws FileError when
// the file does not hold what a read needs.
void readEverything(const std::shared_ptr<SqliteDesignStore>& store) {
    ZvFileIO::logFileVersionInfo(FileName(store->path()), store);
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    ZvFileIO().getDataRevision(store, dataRevision, dataRevisionNumber);
    ZvFileIO::readMaxIdentifierValue(store);
    (void)(store->objectCount() + store->groupCount() + store->updateCount());
    SerializationTransferObject absent(-1, "", "");
    (void)store->contains(absent);
    store->forEachObject([&](const SerializationTransferObject& object) {
        SerializationTransferObject probe(object.id(), "", "");
        return (void)store->contains(probe), (void)store->read(probe), true;
    });
}

// Returns whether the file reads as a design.
bool checkReading(const fs::path& file, const std::string& bytes) {
    std::shared_ptr<SqliteDesignStore> store;
    try {
        store = SqliteDesignStore::openForReading(file.string());
    } catch (const FileError& e) {
        const bool beside = e.code() == FileErrc::UnfinishedLog || e.code() == FileErrc::OtherOwner ||
                            e.code() == FileErrc::OtherNames || e.code() == FileErrc::SuperJournal ||
                            e.code() == FileErrc::ProtectedLink;
        if (!beside && e.code() != FileErrc::WriteAheadMode) {
            throw;
        }
        ZV_FUZZ_REQUIRE(!beside,
                        std::string("a file alone refused for what lies beside it: ") + e.what());
        ZV_FUZZ_REQUIRE(contentOf(file) == bytes, std::string("refusing a file changed it"));
        return false;
    }

    constexpr std::int32_t kUntouched = -12345;
    std::int32_t version = kUntouched;
    bool isDesign = false;
    try {
        isDesign = store->readFileVersion(version);
    } catch (const FileError& e) {
        ZV_FUZZ_REQUIRE(is(e.code(), FileErrc::Damaged), std::string("readFileVersion threw: ") + e.what());
        return store.reset(), ZV_FUZZ_REQUIRE(contentOf(file) == bytes, std::string("reading changed it")), false;
    }
    ZV_FUZZ_REQUIRE(isDesign || version == kUntouched, "readFileVersion answered false but set " + std::to_string(version));

    // verifyZVVersion reads the version again: a verdict that does not
    // match the first answer also shows an answer that changed.
    const ZvFileIO io;
    if (isDesign) {
        constexpr std::int32_t kCurrent = SqliteDesignStore::kCurrentVersion;
        ZV_FUZZ_REQUIRE(io.verifyZVVersion(store, nullptr) == (version >= 0 && version <= kCurrent),
                        "verifyZVVersion's verdict on version " + std::to_string(version));
    } else {
        try {
            (void)io.verifyZVVersion(store, nullptr);
            fuzz::fail("verifyZVVersion refuses a file whose version cannot be read", "it did not");
        } catch (const FileOpenException& e) {
            ZV_FUZZ_REQUIRE(e.getType() == FileOpenException::VersionUnreadable,
                            "refused as " + std::to_string(e.getType()));
        }
    }

    try {
        readEverything(store);
    } catch (const FileError&) {
        // The file lacks what a read needs: refused as the store promises.
    }
    store.reset();
    ZV_FUZZ_REQUIRE(contentOf(file) == bytes, std::string("opening for reading changed the file"));
    return isDesign;
}

// What a save writes, in the order the library writes it.
void writeSomething(const std::shared_ptr<SqliteDesignStore>& store) {
    SerializationTransferObject object(1, "Pipe", std::string("p\0q", 3));
    store->contains(object) ? store->update(object) : store->insert(object);
    ZvFileIO().createGroup(store);
    ZvFileIO::writeMetaData(store, "fuzz", 7, ZvFileWriteMode::UpdateAll, "");
}

// Whether `bytes` start with a SQLite header carrying the user version or
// application id (big-endian, at 60 and 68) of a program; a design's own
// application id counts too.
bool carriesAMark(const std::string& bytes) {
    const auto zero = [&](std::size_t offset) { return bytes.compare(offset, 4, std::string(4, '\0')) == 0; };
    return bytes.size() >= 100 && !(zero(60) && zero(68));
}

// `isDesign`: whether the same bytes read as a design.
void checkWriting(const fs::path& file, const std::string& bytes, bool isDesign) {
    bool opened = false;
    try {
        const std::shared_ptr<SqliteDesignStore> store = SqliteDesignStore::openForWriting(file.string());
        opened = true;
        // Besides a design, only a database that holds nothing may become
        // one: a file marked by another program is refused.
        ZV_FUZZ_REQUIRE(isDesign || !carriesAMark(bytes),
                        std::string("openForWriting took over a file another program marked as its own"));
        std::int32_t version = 0;
        ZV_FUZZ_REQUIRE(store->readFileVersion(version), std::string("openForWriting gave a handle without a design"));
        writeSomething(store);
        // Dropped here without commit().
    } catch (const FileError&) {
        // Refused, or a write failed: the store's documented failure.
    }
    ZV_FUZZ_REQUIRE(opened || !bytes.empty(), std::string("openForWriting refused an empty file, a new design"));
    ZV_FUZZ_REQUIRE(contentOf(file) == bytes, std::string("a handle dropped without commit changed the file"));
}

void checkSalvage(const fs::path& file, const std::string& bytes) {
    const fs::path into = fs::path(file).replace_extension(".salvaged.zvd");
    std::error_code ignored;
    fs::remove(into, ignored);
    try {
        const SalvageReport report = salvageDesign(file.string(), into.string());
        ZV_FUZZ_REQUIRE(openDesign(into.string()).objectCount == report.objectsSalvaged,
                        "the salvaged design does not hold the " + std::to_string(report.objectsSalvaged) +
                            " objects reported");
    } catch (const DesignRefusedException&) {
        // Nothing readable, or a new design that could not be written.
    }
    ZV_FUZZ_REQUIRE(contentOf(file) == bytes, std::string("salvage changed the file"));
}

} // namespace

// Each connection allocates and frees SQLite's page cache: with the default
// 256 MB quarantine and a fill of every new block, memory is never reused
// and page faults dominate the run.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "quarantine_size_mb=8:max_malloc_fill_size=0:malloc_context_size=4:detect_stack_use_after_return=0";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool configured = configureSqlite();
    ZV_FUZZ_REQUIRE(configured, std::string("SQLite was initialised before the fuzz target could configure it"));
    static const ScopedLogSink quiet(std::make_shared<DiscardSink>());
    static const ScratchFolder folder;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        const fs::path reading = folder.path / "read.zvd";
        writeFresh(reading, bytes);
        const bool isDesign = checkReading(reading, bytes);

        const fs::path writing = folder.path / "write.zvd";
        writeFresh(writing, bytes);
        checkWriting(writing, bytes, isDesign);

        writeFresh(reading, bytes);
        checkSalvage(reading, bytes);
    } catch (const std::exception& e) {
        // Also a FileError from openForReading, or from
        // anything but a read or a write.
        Zorvan::fuzz::fail("an exception the store does not promise", e.what());
    } catch (...) {
        Zorvan::fuzz::fail("an exception the store does not promise", "not a std::exception");
    }
    return 0;
}
