// What a page's checksum costs beside what writing the page costs: the
// checksum of a 4096-byte page (stored in its last 8 bytes, as the store's
// VFS does on every page write), beside a write of the same page through
// the Env (a pwrite to the page cache, nothing flushed).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "FileHandling/Env.h"
#include "Serialization/PageChecksum.h"

namespace {

namespace fs = std::filesystem;
using namespace Zorvan;

std::vector<unsigned char> page() {
    std::vector<unsigned char> bytes(4096);
    std::mt19937 random(7);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

void BM_PageChecksum(benchmark::State& state) {
    std::vector<unsigned char> bytes = page();
    for (auto _ : state) {
        internal::storePageChecksum(bytes);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_PageChecksum);

void BM_EnvPageWrite(benchmark::State& state) {
    const fs::path folder = fs::temp_directory_path() / ("zvfile-bench-page-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    const std::shared_ptr<Env> env = Env::current();
    EnvHandle held;
    EnvHandle file;
    OpenOptions options;
    options.access = OpenOptions::Access::ReadWrite;
    options.creation = OpenOptions::Creation::New;
    if (env->openFolder(folder.string(), held) || env->open(held, "page.zvd", options, file)) {
        state.SkipWithError("cannot make the file");
    }
    const std::vector<unsigned char> bytes = page();
    const std::span<const char> data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(env->write(file, 0, data));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
    file = EnvHandle();
    held = EnvHandle();
    fs::remove_all(folder);
}
BENCHMARK(BM_EnvPageWrite);

} // namespace
