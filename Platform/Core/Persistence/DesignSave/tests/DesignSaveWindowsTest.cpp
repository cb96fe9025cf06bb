// The save API on Windows: a design another program holds open, and the
// one-writer lock between processes. (The attributes a design keeps and the
// read-only attribute are met by the portable tests.)

#include <gtest/gtest.h>

#include "Common/WindowsApi.h"

#include <process.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

#include "DesignSaveFixture.h"
#include "FileHandling/testing/HeldOpen.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::HeldOpen;
using testing::TempFolder;

std::string modeName(Mode mode) { return "mode " + std::to_string(mode); }

// Another program that has the design open without letting others delete
// it (a viewer, a virus scanner) keeps a rewrite from putting its new file
// in place. A hold of a moment is waited out; one that lasts is refused
// within a second, saying why, with the design as it was and nothing of
// the save left behind. An update in place writes the file itself and is
// not kept out by such a hold. A program that does not even let others
// write keeps every mode out: the save waits for it as for the lock, then
// gives up, saying so.
TEST_F(DesignSaveTest, ADesignHeldOpenIsWaitedForBrieflyThenRefused) {
    struct Case {
        const char* name;
        Mode mode;
        DWORD share;
        std::optional<std::chrono::milliseconds> heldFor; // after the store is committed; nothing: throughout
        std::optional<std::pair<DesignRefusal, std::string>> refused;
    };
    const auto held = refusal(DesignRefusal::Busy, "another program has it open and keeps it from being replaced; "
                                                   "the design is left as it was.");
    const auto open = refusal(DesignRefusal::Busy, "another program has it open and keeps it from being written; "
                                                   "try again when it is closed.");
    const Case cases[] = {
        {"rewrite, held throughout", Mode::Overwrite, FILE_SHARE_READ | FILE_SHARE_WRITE, std::nullopt, held},
        {"rewrite, held a moment", Mode::Overwrite, FILE_SHARE_READ | FILE_SHARE_WRITE, 50ms, std::nullopt},
        {"update in place, held throughout", Mode::UpdateAll, FILE_SHARE_READ | FILE_SHARE_WRITE, std::nullopt,
         std::nullopt},
        {"rewrite, no writer let in", Mode::Overwrite, FILE_SHARE_READ, std::nullopt, open},
        {"update in place, no writer let in", Mode::UpdateAll, FILE_SHARE_READ, std::nullopt, open},
    };
    saveDesign("a.zvd", 1, "before");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = files();
        std::optional<HeldOpen> other(std::in_place, path("a.zvd"), c.share);
        ASSERT_TRUE(other->valid());
        std::future<void> release;
        const auto letGo = [&] {
            if (c.heldFor) {
                release = std::async(std::launch::async, [&] {
                    std::this_thread::sleep_for(*c.heldFor);
                    other->release();
                });
            }
        };
        const Clock::time_point start = Clock::now();
        const auto save = [&] { saveDesign("a.zvd", 1, c.name, options(c.mode, "committed", letGo)); };
        if (c.refused) {
            EXPECT_EQ(refusalOf(save), *c.refused);
            EXPECT_LT(Clock::now() - start, 1s);
        } else {
            EXPECT_NO_THROW(save());
        }
        if (release.valid()) {
            release.get();
        }
        other.reset();
        EXPECT_TRUE(c.refused ? files() == before : revisionOf(path("a.zvd")) == c.name && files().size() == 1)
            << "refused: as it was; saved: the design alone";
    }
}

// Another process, running its own save of the design (DesignSave_holder,
// beside this test program): it is not let in while this one saves, a save
// that does not wait is refused as busy at once, and one that waits goes on
// as soon as the other is done.
TEST_F(DesignSaveTest, AnotherProcessSavingTheDesignKeepsThisOneOut) {
    saveDesign("a.zvd", 1, "mine");
    wchar_t self[MAX_PATH];
    std::wstring holder(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    holder.replace(holder.find_last_of(L"\\/") + 1, std::wstring::npos, L"DesignSave_holder.exe");
    const TempFolder signals; // where the other process says it holds the design, and is told to go on
    const auto quoted = [](const std::string& file) { return L"\"" + TempFolder::fromUtf8(file).wstring() + L"\""; };
    const std::wstring design = quoted(path("a.zvd"));
    const std::wstring held = quoted(signals.path("held"));
    const std::wstring go = quoted(signals.path("go"));
    const intptr_t other = ::_wspawnl(_P_NOWAIT, holder.c_str(), L"DesignSave_holder", design.c_str(), held.c_str(),
                                      go.c_str(), nullptr);
    ASSERT_NE(other, -1);
    const auto holds = [&] { return fs::exists(signals.root() / "held"); };
    for (const Clock::time_point start = Clock::now(); !holds() && Clock::now() - start < 60s;) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(holds()) << "the other process began no save";
    const auto before = files();
    for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll}) {
        SCOPED_TRACE(modeName(mode));
        EXPECT_EQ(refusalOf([&] { saveDesign("a.zvd", 1, "refused", options(mode)); }),
                  refusal(DesignRefusal::Busy, "another program is saving it; try again when it is done."));
    }
    EXPECT_EQ(files(), before);

    std::promise<void> waiting;
    DesignSaveOptions patient = options();
    patient.lockWait = 60s;
    patient.onWait = [&] { waiting.set_value(); };
    std::future<void> mine = std::async(std::launch::async, [&] { saveDesign("a.zvd", 1, "after", patient); });
    ASSERT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    signals.write("go", "");
    int code = -1;
    EXPECT_EQ(::_cwait(&code, other, 0), other);
    EXPECT_EQ(code, 0);
    mine.get();
    EXPECT_EQ(revisionOf(path("a.zvd")), "after");
}

} // namespace
} // namespace Zorvan
