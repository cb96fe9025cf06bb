// The save API on Windows: the attributes a design keeps, the read-only
// attribute, a design another program holds open, and the one-writer lock
// between processes.

#include <gtest/gtest.h>

#include "Common/WindowsApi.h"

#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <thread>

#include "DesignSaveFixture.h"
#include "FileHandling/testing/HeldOpen.h"

namespace Zorvan {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mode = ZvFileWriteMode;
using testing::DesignSaveTest;
using testing::HeldOpen;
using testing::TempFolder;

DWORD attributesOf(const std::string& file) { return ::GetFileAttributesW(TempFolder::fromUtf8(file).c_str()); }

void setAttributes(const std::string& file, DWORD attributes) {
    ASSERT_TRUE(::SetFileAttributesW(TempFolder::fromUtf8(file).c_str(), attributes)) << file;
}

std::string modeName(Mode mode) { return "mode " + std::to_string(mode); }

// The names and sizes of the files `files` holds, for a failure message.
std::string listing(const std::map<std::string, std::string>& files) {
    std::string text;
    for (const auto& [name, content] : files) {
        text += name + " (" + std::to_string(content.size()) + " bytes) ";
    }
    return text;
}

// A rewrite replaces the design with a new file, an update writes the file
// itself, an autosave makes a new copy: each keeps the hidden and system
// attributes the user gave the design (the temporary file of a rewrite has
// them from its creation on), and none makes it read-only.
TEST_F(DesignSaveTest, TheDesignKeepsItsAttributesInEveryMode) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    saveDesign("a.zvd", 1, "first");
    setAttributes(path("a.zvd"), kKept);
    for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll, Mode::UpdateSelected}) {
        SCOPED_TRACE(modeName(mode));
        DWORD written = 0;
        saveDesign("a.zvd", 1, modeName(mode), options(mode, "prepared", [&] {
                       written = attributesOf(path(mode == Mode::Overwrite ? "a.tmp.zvd" : "a.zvd"));
                   }));
        EXPECT_EQ(written & kKept, kKept) << "the file written, attributes " << written;
        EXPECT_EQ(attributesOf(path("a.zvd")) & (kKept | FILE_ATTRIBUTE_READONLY), kKept);
        EXPECT_EQ(revisionOf(path("a.zvd")), modeName(mode));
    }
    const FileName copy = writeAutosaveCopy(path("a.zvd"), options());
    EXPECT_EQ(attributesOf(copy.toNativeString()) & kKept, kKept);
}

// A design with the read-only attribute is refused by every mode before
// anything is written, whatever other attributes it has.
TEST_F(DesignSaveTest, TheReadOnlyAttributeRefusesEveryMode) {
    saveDesign("a.zvd", 1, "kept");
    const std::pair<Mode, DWORD> cases[] = {
        {Mode::Overwrite, FILE_ATTRIBUTE_READONLY},
        {Mode::UpdateAll, FILE_ATTRIBUTE_READONLY},
        {Mode::UpdateSelected, FILE_ATTRIBUTE_READONLY},
        {Mode::Overwrite, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
    };
    for (const auto& [mode, attributes] : cases) {
        SCOPED_TRACE(modeName(mode) + ", attributes " + std::to_string(attributes));
        setAttributes(path("a.zvd"), attributes);
        const DWORD set = attributesOf(path("a.zvd"));
        const auto before = files();
        EXPECT_EQ(refusalOf([&] { saveDesign("a.zvd", 1, "lost", options(mode)); }),
                  refusal(DesignRefusal::ReadOnly, "It is not possible to overwrite a readonly file."));
        EXPECT_TRUE(files() == before) << listing(files());
        EXPECT_EQ(attributesOf(path("a.zvd")), set);
    }
}

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
        if (c.refused) {
            EXPECT_EQ(refusalOf([&] { saveDesign("a.zvd", 1, c.name, options(c.mode, "committed", letGo)); }),
                      *c.refused);
            EXPECT_LT(Clock::now() - start, 1s);
            other.reset();
            EXPECT_TRUE(files() == before) << listing(files());
        } else {
            EXPECT_NO_THROW(saveDesign("a.zvd", 1, c.name, options(c.mode, "committed", letGo)));
            if (release.valid()) {
                release.get();
            }
            other.reset();
            EXPECT_EQ(revisionOf(path("a.zvd")), c.name);
            EXPECT_EQ(files().size(), 1u) << listing(files());
        }
    }
}

// Another process, running its own save of the design: it is not let in
// while this one saves, a save that does not wait is refused as busy at
// once, and one that waits goes on as soon as the other is done.
class OtherProcess {
public:
    // Starts DesignSave_holder (beside this test program) on `design` and
    // waits until it has begun its save.
    explicit OtherProcess(const std::string& design) {
        wchar_t self[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring program(self, length);
        program.replace(program.find_last_of(L"\\/") + 1, std::wstring::npos, L"DesignSave_holder.exe");
        std::wstring command = L"\"" + program + L"\" \"" + TempFolder::fromUtf8(design).wstring() + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!::CreatePipe(&childInput, &m_input, &inherit, 0) || !::CreatePipe(&m_output, &childOutput, &inherit, 0)) {
            return;
        }
        ::SetHandleInformation(m_input, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process{};
        const bool started = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                              nullptr, &startup, &process) != 0;
        ::CloseHandle(childInput);
        ::CloseHandle(childOutput);
        if (started) {
            ::CloseHandle(process.hThread);
            m_process = process.hProcess;
        }
    }
    ~OtherProcess() {
        finish();
        ::CloseHandle(m_output);
    }
    OtherProcess(const OtherProcess&) = delete;
    OtherProcess& operator=(const OtherProcess&) = delete;

    // What it said, up to the end of its output or a line break.
    std::string readLine() {
        std::string line;
        char c = 0;
        DWORD read = 0;
        while (::ReadFile(m_output, &c, 1, &read, nullptr) && read == 1 && c != '\n') {
            line += c;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // its standard output is in text mode
        }
        return line;
    }
    // Lets it commit its save; returns its exit code.
    DWORD finish() {
        if (m_input != nullptr) {
            ::CloseHandle(m_input);
            m_input = nullptr;
        }
        DWORD code = 255;
        if (m_process != nullptr) {
            ::WaitForSingleObject(m_process, 60000);
            ::GetExitCodeProcess(m_process, &code);
            ::CloseHandle(m_process);
            m_process = nullptr;
        }
        return code;
    }

private:
    HANDLE m_process = nullptr;
    HANDLE m_input = nullptr;
    HANDLE m_output = nullptr;
};

TEST_F(DesignSaveTest, AnotherProcessSavingTheDesignKeepsThisOneOut) {
    saveDesign("a.zvd", 1, "mine");
    OtherProcess other(path("a.zvd"));
    ASSERT_EQ(other.readLine(), "locked");
    const auto before = files();
    for (const Mode mode : {Mode::Overwrite, Mode::UpdateAll}) {
        SCOPED_TRACE(modeName(mode));
        EXPECT_EQ(refusalOf([&] { saveDesign("a.zvd", 1, "refused", options(mode)); }),
                  refusal(DesignRefusal::Busy, "another program is saving it; try again when it is done."));
    }
    EXPECT_TRUE(files() == before) << listing(files());

    std::promise<void> waiting;
    DesignSaveOptions patient = options();
    patient.lockWait = 60s;
    patient.onWait = [&] { waiting.set_value(); };
    std::future<void> mine = std::async(std::launch::async, [&] { saveDesign("a.zvd", 1, "after", patient); });
    ASSERT_EQ(waiting.get_future().wait_for(60s), std::future_status::ready);
    EXPECT_EQ(other.finish(), 0u);
    mine.get();
    EXPECT_EQ(revisionOf(path("a.zvd")), "after");
}

} // namespace
} // namespace Zorvan
