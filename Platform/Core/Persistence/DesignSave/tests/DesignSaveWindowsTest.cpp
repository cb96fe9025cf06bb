// The save API on Windows: the one-writer lock between processes. (The
// attributes a design keeps, the read-only attribute and a design another
// program holds open are met by the portable tests.)

#include <gtest/gtest.h>

#include "Common/WindowsApi.h"

#include <process.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "DesignSaveFixture.h"

namespace Zorvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::TempFolder;

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
        SCOPED_TRACE("mode " + std::to_string(mode));
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
