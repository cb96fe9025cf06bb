// Runs a fuzz target once on each saved input, without libFuzzer, so that
// the corpora are checked by every build and compiler as ordinary tests.
//
//   FileNameFuzzer_replay fuzz/corpus/FileName [more folders or files]
//
// A folder stands for every regular file below it, taken in name order so
// that a failure repeats on every machine. Arguments starting with '-' are
// libFuzzer options and are ignored, so a fuzzer's command line replays
// unchanged. The target aborts on the first broken invariant; the last
// "running" line then names the input. Exit code 0 when every input ran,
// 1 when an argument does not exist or nothing was found to run (a corpus
// path gone wrong must not pass as an empty success).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (const std::string& argument : std::vector<std::string>(argv + 1, argv + argc)) {
        if (argument.starts_with('-')) {
            continue;
        }
        if (!fs::is_directory(argument)) {
            inputs.emplace_back(argument);
            if (!fs::is_regular_file(argument)) {
                std::cerr << "replay: no such file or folder: " << argument << "\n";
                return 1;
            }
            continue;
        }
        const auto first = static_cast<std::ptrdiff_t>(inputs.size());
        for (const auto& entry : fs::recursive_directory_iterator(argument)) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
        std::sort(inputs.begin() + first, inputs.end());
    }
    if (inputs.empty()) {
        std::cerr << "replay: no inputs; usage: " << argv[0] << " FOLDER_OR_FILE...\n";
        return 1;
    }
    for (const auto& file : inputs) {
        std::cout << "running " << file.string() << "\n" << std::flush;
        // Exactly as long as the file, so that AddressSanitizer sees a read past its end.
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::cout << "replayed " << inputs.size() << " inputs\n";
    return 0;
}
