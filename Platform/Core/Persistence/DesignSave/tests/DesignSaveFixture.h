#pragma once
// What the tests of the save API share: a fresh folder, saves of a few
// objects, the folder's files and the refusals a call ends in.

#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "FileHandling/testing/TempFolder.h"
#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/DesignSave/EditSession.h"

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
    // copy, as an editor's session that then ends as a crash would.
    void saveDesign(const std::string& leaf, int objects, const std::string& revision,
                    const DesignSaveOptions& o = options(), bool autosave = false) {
        saveDesignAt(path(leaf), objects, revision, o, autosave);
    }
    // The same, by a name as a user would type it (relative to the drive's
    // current folder, say).
    void saveDesignAt(const std::string& file, int objects, const std::string& revision,
                      const DesignSaveOptions& o = options(), bool autosave = false) {
        std::optional<EditSession> session;
        if (autosave) {
            session.emplace(EditSession::create(file, {.recover = false}));
        }
        DesignSave save = session ? session->autosave(session->snapshot(), o) : DesignSave::begin(file, o);
        DesignPart part = save.part();
        for (int i = 0; i < objects; ++i) {
            part.save({Identifier::create().number, "Pipe", revision});
        }
        (void)save.commit(revision, objects);
    }
    static std::string revisionOf(const std::string& file) {
        std::string revision;
        SqliteDesignStore::openForReading(file)->readDataRevision(revision);
        return revision;
    }
    // Every entry of the folder (UTF-8 names), or of `in`, with its bytes
    // (regular files), where it links to (links, not followed) or its kind.
    std::map<std::string, std::string> files(const std::filesystem::path& in = {}) const { return folder.contents(in); }
    // How a call of the road ended: done, refused (reason, cause, sentence)
    // or misused (std::logic_error).
    struct Ending {
        enum Kind { Done, Refused, Misused } kind = Done;
        DesignRefusal reason = DesignRefusal::Failed;
        std::optional<std::error_code> cause;
        std::string said;
    };
    // A cause as "category value", "none" when there is none.
    static std::string named(const std::optional<std::error_code>& cause) {
        return cause ? std::string(cause->category().name()) + " " + std::to_string(cause->value()) : "none";
    }
    static Ending endingOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const DesignRefusedException& e) {
            return {Ending::Refused, e.reason(), e.cause(), e.what()};
        } catch (const std::logic_error& e) {
            return {Ending::Misused, DesignRefusal::Failed, {}, e.what()};
        }
        return {};
    }
    // Whether `cause` is what a refusal for `reason` carries: the system's
    // denial, the condition the road found, nothing when the file itself is
    // the reason, never a code of value 0.
    static bool causeFits(DesignRefusal reason, const std::optional<std::error_code>& cause) {
        using enum DesignRefusal;
        switch (reason) {
        case ReadOnly:
            return cause && isDenied(*cause);
        case NotRegularFile:
            return means(cause, std::errc::invalid_argument);
        case NoDesignYet:
        case Newer:
        case Interfered:
        case ForeignFile:
            return !cause;
        default:
            return !cause || *cause;
        }
    }
    // That `action` is refused for `reason` at once, in one sentence that
    // names `file` and says `why`.
    static void expectRefused(const std::function<void()>& action, DesignRefusal reason, const std::string& file,
                              const std::string& why) {
        const auto start = std::chrono::steady_clock::now();
        const Ending ended = endingOf(action);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "refused at once: " << ended.said;
        EXPECT_EQ(ended.kind, Ending::Refused) << ended.said;
        EXPECT_EQ(to_string(ended.reason), to_string(reason)) << ended.said;
        EXPECT_TRUE(causeFits(reason, ended.cause)) << named(ended.cause) << ": " << ended.said;
        EXPECT_THAT(ended.said, ::testing::AllOf(::testing::HasSubstr("'" + file + "'"), ::testing::HasSubstr(why),
                                                 ::testing::Not(::testing::HasSubstr("\n"))));
    }

    TempFolder folder;
};

} // namespace Zorvan::testing
