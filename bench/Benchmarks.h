#pragma once
// The benchmark pairs of each exported class, registered by main().

namespace Zorvan::bench {

void registerZvFileIOBenchmarks();
void registerDesignIOModuleBenchmarks();

} // namespace Zorvan::bench
