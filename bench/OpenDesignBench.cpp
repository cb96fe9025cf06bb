// zvfile_open_bench: what opening and reading a design through the save API
// costs beside SQLite alone, and what a rewrite costs.
//
//   open+walk  openDesign(path) and forEachObject over every object, paired
//              with a read-only sqlite3_open_v2 and one SELECT of every
//              object stepped to the end; the two run alternately (the
//              order swapped each pair) on the same design, and the medians
//              and their ratio are printed per size.
//   rewrite    DesignSave::begin (Overwrite), every object saved through one
//              part, commit: the median time per size.
//   --count    the Env calls of one rewrite of 1,000 objects, by call.
//   --profile  only N opens and walks of 1,000 objects each way, for a
//              profiler (valgrind --tool=callgrind) to count.
//
//   zvfile_open_bench [--pairs=N] [--rewrites=N] [--count] [--profile]

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FileHandling/Env.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace {

namespace fs = std::filesystem;
using namespace Zorvan;
using Clock = std::chrono::steady_clock;

constexpr std::array<int, 2> kSizes{1'000, 100'000};

class TempFolder {
public:
    TempFolder() : m_path(fs::temp_directory_path() / ("zvfile-open-bench-" + std::to_string(std::random_device()()))) {
        fs::create_directories(m_path);
    }
    ~TempFolder() { fs::remove_all(m_path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string file(const std::string& leaf) const { return (m_path / leaf).string(); }

private:
    fs::path m_path;
};

std::vector<SerializationTransferObject> makeObjects(int count) {
    std::vector<SerializationTransferObject> made;
    made.reserve(static_cast<std::size_t>(count));
    for (int id = 1; id <= count; ++id) {
        made.emplace_back(id, "Pipe", "payload of object " + std::to_string(id));
    }
    return made;
}

void rewrite(const std::string& file, const std::vector<SerializationTransferObject>& objects) {
    DesignSave save = DesignSave::begin(file, {});
    DesignPart part = save.part();
    for (const SerializationTransferObject& object : objects) {
        part.save(object);
    }
    (void)save.commit("bench", 1);
}

[[gnu::noinline]] std::int64_t openAndWalk(const std::string& file) {
    const OpenedDesign design = openDesign(file);
    std::int64_t bytes = 0;
    design.forEachObject([&](const SerializationTransferObject& object) {
        bytes += static_cast<std::int64_t>(object.payload().size());
        return true;
    });
    return bytes;
}

[[gnu::noinline]] std::int64_t directSqlite(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + file);
    }
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT id, type, payload FROM zv_objects ORDER BY id", -1, &select, nullptr);
    std::int64_t bytes = 0;
    while (sqlite3_step(select) == SQLITE_ROW) {
        bytes += sqlite3_column_int64(select, 0) > 0 ? 0 : 1;
        bytes += sqlite3_column_bytes(select, 1) > 0 ? 0 : 1;
        const void* payload = sqlite3_column_blob(select, 2);
        bytes += payload != nullptr ? sqlite3_column_bytes(select, 2) : 0;
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return bytes;
}

double millisecondsOf(const std::function<void()>& run) {
    const Clock::time_point start = Clock::now();
    run();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void openPairs(const std::string& file, int size, int pairs) {
    std::vector<double> library;
    std::vector<double> direct;
    std::int64_t seen[2] = {0, 0};
    const auto runLibrary = [&] { library.push_back(millisecondsOf([&] { seen[0] = openAndWalk(file); })); };
    const auto runDirect = [&] { direct.push_back(millisecondsOf([&] { seen[1] = directSqlite(file); })); };
    runLibrary(); // warm the page cache and the library's first-use state
    runDirect();
    library.clear();
    direct.clear();
    for (int pair = 0; pair < pairs; ++pair) {
        if (pair % 2 == 0) {
            runLibrary();
            runDirect();
        } else {
            runDirect();
            runLibrary();
        }
    }
    if (seen[0] != seen[1]) {
        throw std::runtime_error("the two reads saw different payloads");
    }
    const double ofLibrary = median(library);
    const double ofDirect = median(direct);
    std::printf("open+walk %7d objects: openDesign %9.3f ms, SQLite %9.3f ms, ratio %.2fx (%d pairs)\n", size,
                ofLibrary, ofDirect, ofLibrary / ofDirect, pairs);
}

// Counts every Env call by name, forwarding each to the Env it wraps.
class CountingEnv : public EnvWrapper {
public:
    using EnvWrapper::EnvWrapper;

    enum Call { OpenFolder, PathOf, Look, ReadLink, Open, Rename, Remove, RemoveIf, MayWrite, Facts, Read, Write,
                Truncate, Sync, AdoptAccess, LockCall, IsLocked, SleepFor, kCalls };
    static constexpr std::array<std::string_view, kCalls> kNames{
        "openFolder", "pathOf", "look",  "readLink", "open", "rename",      "remove", "removeIf", "mayWrite",
        "facts",      "read",   "write", "truncate", "sync", "adoptAccess", "lock",   "isLocked", "sleepFor"};

    std::error_code openFolder(const std::string& path, EnvHandle& folder) override {
        return count(OpenFolder, EnvWrapper::openFolder(path, folder));
    }
    std::error_code pathOf(const EnvHandle& folder, std::string& path) override {
        return count(PathOf, EnvWrapper::pathOf(folder, path));
    }
    std::error_code look(const EnvHandle& folder, const std::string& leaf, FileFacts& facts) override {
        return count(Look, EnvWrapper::look(folder, leaf, facts));
    }
    std::error_code readLink(const EnvHandle& folder, const std::string& leaf, std::string& target) override {
        return count(ReadLink, EnvWrapper::readLink(folder, leaf, target));
    }
    std::error_code open(const EnvHandle& folder, const std::string& leaf, const OpenOptions& options,
                         EnvHandle& file) override {
        return count(Open, EnvWrapper::open(folder, leaf, options, file));
    }
    std::error_code rename(const EnvHandle& folder, const std::string& from, const std::string& to,
                           WhenTaken whenTaken) override {
        return count(Rename, EnvWrapper::rename(folder, from, to, whenTaken));
    }
    std::error_code remove(const EnvHandle& folder, const std::string& leaf) override {
        return count(Remove, EnvWrapper::remove(folder, leaf));
    }
    std::error_code removeIf(const EnvHandle& folder, const std::string& leaf, const FileIdentity& file) override {
        return count(RemoveIf, EnvWrapper::removeIf(folder, leaf, file));
    }
    std::error_code mayWrite(const EnvHandle& folder, const std::string& leaf) override {
        return count(MayWrite, EnvWrapper::mayWrite(folder, leaf));
    }
    std::error_code facts(const EnvHandle& file, FileFacts& facts) override {
        return count(Facts, EnvWrapper::facts(file, facts));
    }
    std::error_code read(const EnvHandle& file, std::uint64_t offset, std::span<char> into,
                         std::size_t& got) override {
        return count(Read, EnvWrapper::read(file, offset, into, got));
    }
    std::error_code write(const EnvHandle& file, std::uint64_t offset, std::span<const char> data) override {
        return count(Write, EnvWrapper::write(file, offset, data));
    }
    std::error_code truncate(const EnvHandle& file, std::uint64_t size) override {
        return count(Truncate, EnvWrapper::truncate(file, size));
    }
    std::error_code sync(const EnvHandle& fileOrFolder) override {
        return count(Sync, EnvWrapper::sync(fileOrFolder));
    }
    std::error_code adoptAccess(const EnvHandle& file, const EnvHandle& like) override {
        return count(AdoptAccess, EnvWrapper::adoptAccess(file, like));
    }
    std::error_code lock(const EnvHandle& file, ByteRange range, Lock kind) override {
        return count(LockCall, EnvWrapper::lock(file, range, kind));
    }
    std::error_code isLocked(const EnvHandle& file, ByteRange range, bool& locked) override {
        return count(IsLocked, EnvWrapper::isLocked(file, range, locked));
    }
    void sleepFor(std::chrono::milliseconds duration) override {
        (void)count(SleepFor, {});
        EnvWrapper::sleepFor(duration);
    }

    void print(const char* what) const {
        long total = 0;
        std::printf("%s:", what);
        for (std::size_t call = 0; call < kCalls; ++call) {
            total += m_counts[call].load();
            if (m_counts[call].load() != 0) {
                std::printf(" %s %ld", kNames[call].data(), m_counts[call].load());
            }
        }
        std::printf("; %ld Env calls in all\n", total);
    }

private:
    std::error_code count(Call call, std::error_code result) {
        ++m_counts[call];
        return result;
    }
    std::array<std::atomic<long>, kCalls> m_counts{};
};

void countCalls(const std::string& file, const std::vector<SerializationTransferObject>& objects) {
    rewrite(file, objects); // the design exists, as for every later save
    {
        const auto counting = std::make_shared<CountingEnv>(Env::current());
        const ScopedEnv installed(counting);
        rewrite(file, objects);
        counting->print("one rewrite of 1,000 objects");
    }
    const auto counting = std::make_shared<CountingEnv>(Env::current());
    const ScopedEnv installed(counting);
    (void)openAndWalk(file);
    counting->print("openDesign + walk of 1,000 objects");
}

int numberAfter(std::string_view argument, std::string_view option, int fallback) {
    return argument.starts_with(option) ? std::stoi(std::string(argument.substr(option.size()))) : fallback;
}

} // namespace

int main(int argc, char** argv) {
    int pairs = 41;
    int rewrites = 11;
    bool onlyCount = false;
    bool onlyProfile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        pairs = numberAfter(argument, "--pairs=", pairs);
        rewrites = numberAfter(argument, "--rewrites=", rewrites);
        onlyCount = onlyCount || argument == "--count";
        onlyProfile = onlyProfile || argument == "--profile";
    }
    try {
        const TempFolder folder;
        if (onlyCount) {
            countCalls(folder.file("count.zvd"), makeObjects(1'000));
            return 0;
        }
        if (onlyProfile) {
            const std::string file = folder.file("profile.zvd");
            rewrite(file, makeObjects(1'000));
            for (int pair = 0; pair < pairs; ++pair) {
                (void)openAndWalk(file);
                (void)directSqlite(file);
            }
            return 0;
        }
        std::vector<std::vector<SerializationTransferObject>> objects;
        for (const int size : kSizes) {
            objects.push_back(makeObjects(size));
        }
        std::array<std::vector<double>, kSizes.size()> rewriteTimes;
        for (int run = 0; run <= rewrites; ++run) { // the first, which creates the file, is not counted
            for (std::size_t size = 0; size < kSizes.size(); ++size) {
                const std::string file = folder.file("design" + std::to_string(kSizes[size]) + ".zvd");
                const double took = millisecondsOf([&] { rewrite(file, objects[size]); });
                if (run > 0) {
                    rewriteTimes[size].push_back(took);
                }
            }
        }
        for (std::size_t size = 0; size < kSizes.size(); ++size) {
            std::printf("rewrite   %7d objects: %9.3f ms (median of %d)\n", kSizes[size], median(rewriteTimes[size]),
                        rewrites);
        }
        for (std::size_t size = 0; size < kSizes.size(); ++size) {
            openPairs(folder.file("design" + std::to_string(kSizes[size]) + ".zvd"), kSizes[size], pairs);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zvfile_open_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
