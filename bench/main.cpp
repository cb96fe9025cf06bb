// zvfileio_bench: what the library adds to the collaborators it calls.
// Every exported operation of ZvFileIO and DesignIOModule runs beside the
// bare collaborator calls it makes, over a design, an Env and a log
// sink that do nothing; the closing table gives each ratio and the heap
// allocations per call. Takes Google Benchmark's options, e.g.
//   zvfileio_bench --benchmark_repetitions=5 --benchmark_filter=save

#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "Benchmarks.h"
#include "FileHandling/Env.h"
#include "Logging/Logging.h"
#include "NoOpCollaborators.h"
#include "RatioReporter.h"

int main(int argc, char** argv) {
    using namespace Zorvan;
    // libstdc++ counts shared_ptr shares without atomic instructions while a
    // process has a single thread. Hosts have several; one thread started
    // here puts every measurement in that mode, whatever order they run in.
    std::thread([] {}).join();

    const ScopedEnv env(bench::noOpEnv(false));
    const ScopedLogSink sink(bench::noOpSink());
    bench::registerZvFileIOBenchmarks();
    bench::registerDesignIOModuleBenchmarks();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    bench::RatioReporter reporter({"ZvFileIO::verifyZVVersion", "ZvFileIO::isCurrentZVVersion",
                                   "DesignIOModule::save(Overwrite)", "DesignIOModule::save(UpdateAll,stored)",
                                   "DesignIOModule::save(UpdateSelected,unselected)"});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
