#pragma once
// What the tests of the save API share: a fresh folder, saves of a few
// objects, the folder's files and the refusals a call ends in.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "FileHandling/testing/TempFolder.h"
#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace Zorvan::testing {

class DesignSaveTest : public ::testing::Test {
protected:
    using Mode = ZvFileWriteMode;

    std::string path(const std::string& leaf) const { return folder.path(leaf); }
    // Options that do not wait for the lock and run `action` as the save
    // reaches `step` (every step when it is empty).
    static DesignSaveOptions options(Mode mode = Mode::Overwrite, const std::string& step = "",
                                     const std::function<void()>& action = {}) {
        return {mode, std::chrono::milliseconds(0), {}, [step, action](std::string_view reached) {
                    if (action && (step.empty() || reached == step)) {
                        action();
                    }
                }};
    }
    // Saves `objects` new objects to `leaf`, committed; or to its autosave
    // copy, as a host's autosave does.
    void saveDesign(const std::string& leaf, int objects, const std::string& revision,
                    const DesignSaveOptions& o = options(), bool autosave = false) {
        DesignSave save = autosave ? DesignSave::beginAutosave(path(leaf), o) : DesignSave::begin(path(leaf), o);
        DesignPart part = save.part();
        for (int i = 0; i < objects; ++i) {
            part.save({Identifier::create().number, "Pipe", revision});
        }
        (void)save.commit(revision, objects);
    }
    void autosaveDesign(const std::string& leaf, int objects, const std::string& revision) {
        saveDesign(leaf, objects, revision, options(), true);
    }
    static std::string revisionOf(const std::string& file) {
        std::string revision;
        SqliteDesignStore::openForReading(file)->readDataRevision(revision);
        return revision;
    }
    // Every entry of the folder (UTF-8 names), or of `in`, with its bytes
    // (regular files), where it links to (links, not followed) or its kind.
    std::map<std::string, std::string> files(const std::filesystem::path& in = {}) const { return folder.contents(in); }
    static std::pair<DesignRefusal, std::string> refusalOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const DesignRefusedException& e) {
            return {e.reason(), e.what()};
        }
        ADD_FAILURE() << "no refusal";
        return {DesignRefusal::Failed, ""};
    }
    // That `action` is refused for `reason` at once, in one sentence that
    // names `file` and says `why`.
    static void expectRefused(const std::function<void()>& action, DesignRefusal reason, const std::string& file,
                              const std::string& why) {
        const auto start = std::chrono::steady_clock::now();
        const auto [refused, said] = refusalOf(action);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "refused at once: " << said;
        EXPECT_EQ(refused, reason) << said;
        EXPECT_NE(said.find("'" + file + "'"), std::string::npos) << said;
        EXPECT_NE(said.find(why), std::string::npos) << said;
        EXPECT_EQ(said.find('\n'), std::string::npos) << said;
    }

    TempFolder folder;
};

} // namespace Zorvan::testing
