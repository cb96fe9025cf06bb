// zvfile_store_bench: saving a design of 100 000 objects to a real file
// through the library's whole save road over the SQLite design store,
// beside the same rows inserted directly with SQLite in one transaction.
// Both write a new file per iteration and sync it as a committed save does.
// Run each alone to read its peak memory, e.g.
//   zvfile_store_bench --benchmark_filter=direct --benchmark_repetitions=5

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "FileHandling/FileUtilities.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "Serialization/SqliteDesignStore.h"

namespace {

namespace fs = std::filesystem;
using namespace Zorvan;

constexpr int kObjects = 100'000;
constexpr int kParts = 4;

const std::vector<SerializationTransferObject>& objects() {
    static const std::vector<SerializationTransferObject> all = [] {
        std::vector<SerializationTransferObject> made;
        made.reserve(kObjects);
        for (int id = 1; id <= kObjects; ++id) {
            made.emplace_back(id, "part" + std::to_string(id % kParts), "payload of object " + std::to_string(id));
        }
        return made;
    }();
    return all;
}

class Folder {
public:
    Folder() : m_path(fs::temp_directory_path() / ("zvfile-bench-" + std::to_string(std::random_device()()))) {
        fs::create_directories(m_path);
    }
    ~Folder() { fs::remove_all(m_path); }
    std::string file(const char* leaf) const { return (m_path / leaf).string(); }

private:
    fs::path m_path;
};

// The process's peak resident memory in MiB, where the system reports it.
double peakMemoryMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

// Removes `target` outside the timed part, so every iteration writes a new file.
void startFresh(benchmark::State& state, const std::string& target) {
    state.PauseTiming();
    fs::remove(target);
    state.ResumeTiming();
}

void libraryRoad(benchmark::State& state) {
    const Folder folder;
    const std::string target = folder.file("design.zvd");
    for (auto _ : state) {
        startFresh(state, target);
        const ZvFileWriteMode mode = Overwrite;
        if (!ZvFileIO::checkSavePossible(target, mode, nullptr)) {
            state.SkipWithError("target refused");
            return;
        }
        const FileName written = ZvFileIO::prepareFileName(target, mode);
        {
            const auto store = SqliteDesignStore::openForWriting(written.toNativeString());
            ZvFileIO io;
            for (int part = 0; part < kParts; ++part) {
                DesignIOModule module(store, mode, true);
                io.createGroup(store);
                for (std::size_t i = static_cast<std::size_t>(part); i < objects().size(); i += kParts) {
                    SerializationTransferObject object = objects()[i];
                    module.save(object);
                }
            }
            ZvFileIO::writeMetaData(store, "bench", 1, mode, "");
            store->commit();
        }
        if (!ZvFileIO::restoreFileName(target, written, mode)) {
            state.SkipWithError("the new version could not be put in place");
            return;
        }
    }
    state.counters["peak_MiB"] = peakMemoryMiB();
}

void check(int result, sqlite3* db, benchmark::State& state) {
    if (result != SQLITE_OK && result != SQLITE_DONE) {
        state.SkipWithError(sqlite3_errmsg(db));
    }
}

void directSqlite(benchmark::State& state) {
    const Folder folder;
    const std::string target = folder.file("design.zvd");
    for (auto _ : state) {
        startFresh(state, target);
        sqlite3* db = nullptr;
        check(sqlite3_open_v2(target.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), db, state);
        check(sqlite3_exec(db,
                           "BEGIN IMMEDIATE;"
                           "CREATE TABLE zv_objects(id INTEGER PRIMARY KEY, type TEXT NOT NULL, payload BLOB NOT NULL);",
                           nullptr, nullptr, nullptr),
              db, state);
        sqlite3_stmt* insert = nullptr;
        check(sqlite3_prepare_v2(db, "INSERT INTO zv_objects(id, type, payload) VALUES (?, ?, ?)", -1, &insert, nullptr),
              db, state);
        for (int part = 0; part < kParts; ++part) {
            for (std::size_t i = static_cast<std::size_t>(part); i < objects().size(); i += kParts) {
                SerializationTransferObject object = objects()[i];
                sqlite3_bind_int64(insert, 1, object.id());
                sqlite3_bind_text(insert, 2, object.type().data(), static_cast<int>(object.type().size()),
                                  SQLITE_STATIC);
                sqlite3_bind_blob(insert, 3, object.payload().data(), static_cast<int>(object.payload().size()),
                                  SQLITE_STATIC);
                check(sqlite3_step(insert), db, state);
                sqlite3_reset(insert);
            }
        }
        sqlite3_finalize(insert);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, state);
        sqlite3_close(db);
    }
    state.counters["peak_MiB"] = peakMemoryMiB();
}

} // namespace

BENCHMARK(libraryRoad)->Name("save100k/library")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(directSqlite)->Name("save100k/direct")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
