// The crash and contention tests on Windows, where crash_test.sh and
// contention_test.sh (bash, POSIX signals) cannot run:
//   zvfile_save_processes crash|contention ZVFILE STOPPABLE FOLDER
// runs zvfile processes on designs in FOLDER (made anew) and ends saves with
// TerminateProcess, as a crash or the task manager ends them. STOPPABLE is
// the test build of the program whose saves stop for good at the step
// ZVFILE_PAUSE_AT names (StopAtStep.cpp); its module's libraries are those
// beside ZVFILE. Prints what it did; exits 0 when every check held, 1 at
// the first that did not (FOLDER is then left as it was).
//
// crash: a run of every road (a rewrite, updates of all and of selected
//   parts, an autosave, a first save) killed at each of its steps leaves
//   the design whole, old or new, and the road let run afterwards leaves
//   the new one and no temporary file. Kills at any other moment are the
//   crash-state table's (Host.EveryRoad...), which cuts every road at every
//   point on every system.
// contention: two and three programs save one design at once, in every
//   combination of modes: all succeed, the design holds what the save that
//   reported last wrote, nothing is left beside it. That a process saving
//   the design keeps out one that will not wait and lets in one that waits
//   is DesignSave's Windows test's (DesignSave_holder); that a killed one
//   lets the next in, the crash roads'.

#define NOMINMAX
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

fs::path g_zvfile, g_stoppable, g_folder;

// A check that did not hold. Thrown, so that every process still running
// (a save stopped at a step would wait for ever) is ended on the way out.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void fail(const std::string& why) { throw Failure(why); }

// What `file` holds now (nothing when it is not there).
std::string contents(const fs::path& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

// One zvfile process, run in FOLDER, ended when dropped. Its standard
// output goes to `out`, appended to (several processes may share one such
// log: lines then stand in the order they were written), its error output
// to `err`. With `pauseAt`, it is the program that stops at that step.
class Process {
public:
    static constexpr UINT kKilled = 0xDEAD;

    Process(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            const std::string& pauseAt = "")
        : m_err(err), m_what("zvfile") {
        const fs::path& program = pauseAt.empty() ? g_zvfile : g_stoppable;
        std::wstring command = L"\"" + program.wstring() + L"\"";
        for (const std::string& arg : args) {
            command += L" \"" + fs::path(arg).wstring() + L"\"";
            m_what += " " + arg;
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const auto open = [&](const fs::path& file, DWORD access, DWORD disposition) {
            const HANDLE handle = ::CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                fail("cannot open " + file.string());
            }
            return handle;
        };
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = open(out, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
        startup.hStdError = open(err, GENERIC_WRITE, CREATE_ALWAYS);
        PROCESS_INFORMATION process{};
        // The child takes the environment as it is at its start.
        ::SetEnvironmentVariableW(L"ZVFILE_PAUSE_AT", pauseAt.empty() ? nullptr : fs::path(pauseAt).c_str());
        // Wine now and then loses a new process before its first instruction
        // (ERROR_INTERNAL_ERROR); nothing of the save ran, so it is started
        // again.
        DWORD error = ERROR_INTERNAL_ERROR;
        for (int attempt = 0; attempt < 3 && error == ERROR_INTERNAL_ERROR; ++attempt) {
            error = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                     g_folder.c_str(), &startup, &process) != 0
                        ? ERROR_SUCCESS
                        : ::GetLastError();
        }
        ::SetEnvironmentVariableW(L"ZVFILE_PAUSE_AT", nullptr);
        ::CloseHandle(startup.hStdOutput);
        ::CloseHandle(startup.hStdError);
        if (error != ERROR_SUCCESS) {
            fail("cannot start " + program.string() + ": error " + std::to_string(error));
        }
        ::CloseHandle(process.hThread);
        m_process = process.hProcess;
    }
    ~Process() {
        ::TerminateProcess(m_process, kKilled);
        ::WaitForSingleObject(m_process, INFINITE);
        ::CloseHandle(m_process);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    std::string errors() const { return contents(m_err); }

    // Its exit code, once it has ended (within two minutes).
    DWORD wait() const {
        if (::WaitForSingleObject(m_process, 120000) != WAIT_OBJECT_0) {
            fail(m_what + " did not end within two minutes: " + errors());
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return code;
    }
    // Until it has ended, which it must with success; or, with `step`,
    // until it says it stopped there, then ends it there (one that ends by
    // itself fails the test).
    void end(const std::string& step = "") const {
        for (const auto until = Clock::now() + 60s;
             !step.empty() && errors().find("paused at " + step) == std::string::npos;
             std::this_thread::sleep_for(10ms)) {
            if (::WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0 || Clock::now() > until) {
                fail(m_what + " did not stop at " + step + ": " + errors());
            }
        }
        if (!step.empty()) {
            ::TerminateProcess(m_process, kKilled);
        }
        if (const DWORD code = wait(); code != (step.empty() ? 0 : kKilled)) {
            fail(m_what + " ended (exit " + std::to_string(code) + ") " + (step.empty() ? "in failure" : "by itself") +
                 ": " + errors());
        }
    }

private:
    HANDLE m_process = nullptr;
    fs::path m_err;
    std::string m_what;
};

// Runs zvfile to its end; fails unless it succeeds.
void run(const std::vector<std::string>& args) { Process(args, g_folder / "run.out", g_folder / "run.err").end(); }

// A design's data revision and object count (objects -1: any number).
struct State {
    std::string revision;
    long long objects = -1;
    bool operator==(const State&) const = default;
    std::string text() const { return revision + ":" + std::to_string(objects); }
};

// What `file` in FOLDER holds: "(nothing)" when it is not there or empty
// (a first save starts with an empty file), "(unreadable)" when info
// refuses it, else the design's data revision and object count.
State stateOf(const std::string& file) {
    std::error_code error;
    if (fs::file_size(g_folder / file, error) == 0 || error) {
        return {"(nothing)", 0};
    }
    const fs::path out = g_folder / "info.out";
    fs::remove(out);
    const Process info({"info", file, "--json"}, out, g_folder / "info.err");
    if (info.wait() != 0) {
        return {"(unreadable)", 0};
    }
    const nlohmann::json json = nlohmann::json::parse(contents(out));
    return {json.at("dataRevision").get<std::string>(), json.at("objects").get<long long>()};
}

std::vector<std::string> saveArgs(const std::string& design, const std::string& mode, long long objects,
                                  const std::string& revision, const std::string& wait = "") {
    std::vector<std::string> args{"save", design, "--mode", mode, "--objects", std::to_string(objects),
                                  "--data-revision", revision};
    if (mode == "update-selected") {
        args.insert(args.end(), {"--select", "pipes,pumps"});
    }
    if (!wait.empty()) {
        args.insert(args.end(), {"--wait", wait});
    }
    return args;
}

void crash() {
    const std::string design = "big.zvd";
    constexpr long long big = 150000;
    run(saveArgs(design, "overwrite", 1000, "gen0"));
    run({"autosave", design}); // a previous copy for the killed autosaves to leave whole
    struct Road {
        std::string mode, target; // mode or "autosave"; the file it writes
        std::vector<std::string> steps;
    };
    // A run killed at each step, then one let run ("").
    const std::vector<std::string> saveSteps{"locked", "prepared", "writing", "committed", ""};
    const Road roads[] = {
        {"overwrite", design, saveSteps},
        {"update-all", design, saveSteps},
        {"update-selected", design, saveSteps},
        {"autosave", "big.bak.zvd", {"locked", "prepared", "committed", ""}},
        // A first save, whose kill before its commit leaves at most the empty file it began with.
        {"overwrite", "first.zvd", {"locked", "prepared", "writing", ""}},
    };
    int gen = 1, kills = 0;
    for (const Road& road : roads) {
        State current = stateOf(road.target);
        for (const std::string& step : road.steps) {
            // Big and small designs in turn; an update keeps every object the design holds.
            const long long count =
                gen % 2 != 0 || (road.mode.starts_with("update") && 1000 + gen < current.objects) ? big : 1000 + gen;
            const std::string revision = "gen" + std::to_string(gen++);
            // What the road writes: an autosave, the design as it is; an
            // update of selected parts leaves the objects of the others.
            const bool autosave = road.mode == "autosave";
            const State written =
                autosave ? stateOf(design) : State{revision, road.mode == "update-selected" ? -1 : count};
            const Process process(autosave ? std::vector<std::string>{"autosave", design}
                                           : saveArgs(road.target, road.mode, count, revision),
                                  g_folder / "road.out", g_folder / "road.err", step);
            process.end(step);
            kills += step.empty() ? 0 : 1;
            const State found = stateOf(road.target);
            const bool isNew = written.objects < 0 ? found.revision == written.revision : found == written;
            const std::string what =
                road.mode + " of " + road.target + (step.empty() ? " let run" : " killed at ") + step;
            if (!isNew && (step.empty() || found != current)) {
                fail(what + " left " + found.text() + ", not " + written.text() +
                     (step.empty() ? "" : " nor " + current.text()));
            }
            if (step.empty() && fs::exists(g_folder / (fs::path(road.target).stem().string() + ".tmp.zvd"))) {
                fail(what + " left its temporary file");
            }
            current = found;
        }
    }
    std::cout << "crash: " << kills << " runs killed at a step, each leaving the design whole" << std::endl;
}

void contention() {
    // Each program names the design its own way, so that its line in the
    // shared log tells which one it was.
    const std::string names[] = {"pump.zvd", ".\\pump.zvd", "./pump.zvd"};
    const std::string modes[] = {"overwrite", "update-all", "update-selected"};
    const fs::path log = g_folder / "saved.log";
    run(saveArgs(names[0], "overwrite", 500, "start"));
    int round = 0;
    int overlapped = 0; // rounds in which a save waited for another
    // One round: `count` programs, with the modes the digits of `combination` in base 3 name.
    const auto contend = [&](std::size_t count, std::size_t combination) {
        const std::string where = "round " + std::to_string(++round) + ": ";
        fs::remove(log);
        std::vector<std::unique_ptr<Process>> saves;
        for (std::size_t i = 0; i < count; ++i, combination /= 3) {
            const std::string revision = char('a' + i) + std::to_string(round);
            saves.push_back(std::make_unique<Process>(saveArgs(names[i], modes[combination % 3], 1000 + round,
                                                               revision, "30"),
                                                      log, g_folder / ("err" + std::to_string(i))));
        }
        bool waited = false;
        for (const auto& save : saves) {
            save->end();
            waited = waited || save->errors().find("waiting up to") != std::string::npos;
        }
        overlapped += waited ? 1 : 0;
        // Each save says so before it lets the design go: the last line
        // is the save that took effect last.
        std::istringstream lines(contents(log));
        std::size_t reported = 0;
        std::string expected;
        for (std::string line; std::getline(lines, line);) {
            for (std::size_t i = 0; i < count && line.starts_with("saved "); ++i) {
                if (line.find("'" + names[i] + "'") != std::string::npos) {
                    expected = char('a' + i) + std::to_string(round);
                    ++reported;
                }
            }
        }
        if (reported != count) {
            fail(where + "not every save reported success: " + contents(log));
        }
        if (const State found = stateOf(names[0]); found.revision != expected) {
            fail(where + "the design holds " + found.text() + ", but the save reported last wrote " + expected + ": " +
                 contents(log));
        }
        if (fs::exists(g_folder / "pump.tmp.zvd")) {
            fail(where + "the temporary file is left");
        }
    };
    // Every combination of two modes four times, then every one of three.
    for (std::size_t i = 0; i < 4 * 9 + 27; ++i) {
        contend(i < 4 * 9 ? 2 : 3, i < 4 * 9 ? i % 9 : i - 4 * 9);
    }
    if (overlapped == 0) {
        fail("the saves never overlapped: the rounds proved nothing");
    }

    std::cout << "contention: " << round << " rounds of two and three saves at once, every combination of modes "
              << "(a save waited for another in " << overlapped << ")" << std::endl;
}

} // namespace

int main(int argc, char** argv) {
    const std::string test = argc == 5 ? argv[1] : "";
    if (test != "crash" && test != "contention") {
        std::cerr << "usage: zvfile_save_processes crash|contention ZVFILE STOPPABLE FOLDER\n";
        return 2;
    }
    g_zvfile = fs::absolute(argv[2]);
    g_stoppable = fs::absolute(argv[3]);
    g_folder = fs::absolute(argv[4]);
    fs::remove_all(g_folder);
    fs::create_directories(g_folder);
    // English whatever the user's language, for the texts looked for; the
    // stoppable program's module finds the libraries beside the other.
    ::SetEnvironmentVariableW(L"LC_ALL", L"C");
    ::SetEnvironmentVariableW(L"PATH", (g_zvfile.parent_path().wstring() + L";" + ::_wgetenv(L"PATH")).c_str());
    try {
        test == "crash" ? crash() : contention();
    } catch (const Failure& failure) {
        std::cerr << test << ": " << failure.what() << std::endl;
        return 1;
    }
    fs::remove_all(g_folder);
    return 0;
}
