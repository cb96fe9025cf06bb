// Fuzz target: any text taken as a file name. FileName never touches the
// disk, so every input is checked in memory. Invariants:
//   - FileName(x.toNativeString()) names the same file as x: equal, with
//     the same folder, leaf and extension;
//   - the folder and the leaf make up the whole text; the folder is empty
//     or ends in a separator, the leaf holds none, the extension ends it;
//   - the temporary name a rewrite goes through (part.ext -> part.tmp.ext,
//     made as the save road makes it, which needs the disk to decide
//     whether one is used) and the autosave name (part.bak.ext) stay in the
//     original's folder and end with its extension; for a name that names
//     a file (its leaf is more than an extension; the library refuses to
//     save to others) they differ from it and from each other, name a file
//     themselves, and keep its extension as theirs.
//     "pump" -> "pump.tmp": a name without extension gets one, so the
//     extension is compared only when the original has one.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FileHandling/FileName.h"
#include "Platform/Core/Persistence/ZvFileIO/ZvFileIO.h"
#include "FuzzCheck.h"

namespace {

using Zorvan::FileName;
using Zorvan::fuzz::quoted;

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

bool namesAFile(const FileName& name) { return name.getLeafName() != name.getExtension(); }

std::string describe(const FileName& name) {
    return quoted(name.toNativeString()) + " (folder " + quoted(name.getFolder()) + ", leaf " +
           quoted(name.getLeafName()) + ", extension " + quoted(name.getExtension()) + ")";
}

void checkParts(const FileName& name) {
    const std::string folder = name.getFolder(), leaf = name.getLeafName(), extension = name.getExtension();
    ZV_FUZZ_REQUIRE(folder + leaf == name.toNativeString(), describe(name));
    ZV_FUZZ_REQUIRE(folder.empty() || folder.find_last_of(kSeparators) == folder.size() - 1, describe(name));
    ZV_FUZZ_REQUIRE(leaf.find_first_of(kSeparators) == std::string::npos, describe(name));
    ZV_FUZZ_REQUIRE(leaf.ends_with(extension), describe(name));
}

void checkRoundTrip(const FileName& name) {
    const FileName again(name.toNativeString());
    ZV_FUZZ_REQUIRE(again == name && !(again != name) && describe(again) == describe(name),
                    describe(name) + " came back as " + describe(again));
}

// A name derived from `original` for a file written beside it.
void checkDerived(const FileName& original, const FileName& derived, const char* what) {
    const auto details = [&] { return std::string(what) + " " + describe(derived) + " of " + describe(original); };
    checkParts(derived);
    ZV_FUZZ_REQUIRE(derived.getFolder() == original.getFolder(), details());
    ZV_FUZZ_REQUIRE(derived.toNativeString().ends_with(original.getExtension()), details());
    ZV_FUZZ_REQUIRE(!namesAFile(original) || (derived != original && namesAFile(derived) &&
                                              (original.getExtension().empty() ||
                                               derived.getExtension() == original.getExtension())),
                    details());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FileName name(std::string(reinterpret_cast<const char*>(data), size));
    checkParts(name);
    checkRoundTrip(name);

    FileName temporary(name);
    temporary.replaceExtension(".tmp" + name.getExtension());
    checkDerived(name, temporary, "temporary name");

    const FileName autosave = Zorvan::ZvFileIO().constructAutosaveFileName(name);
    checkDerived(name, autosave, "autosave name");
    ZV_FUZZ_REQUIRE(!namesAFile(name) || temporary != autosave, describe(temporary) + " is also the autosave name");
    return 0;
}
