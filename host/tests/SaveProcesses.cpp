// The crash and contention tests on Windows, where crash_test.sh and
// contention_test.sh (bash, POSIX signals) cannot run:
//   zvfile_save_processes crash|contention ZVFILE STOPPABLE FOLDER
// runs zvfile processes on designs in FOLDER (made anew) and ends saves with
// TerminateProcess, as a crash or the task manager ends them. STOPPABLE is
// the test build of the program whose saves stop for good at the step
// ZVFILE_PAUSE_AT names (StopAtStep.cpp); its module's libraries are those
// beside ZVFILE. Prints what it did; exits 0 when every check held, 1 at the
// first that did not.
//
// crash: a save killed at each step of every road (a rewrite, updates of
//   all and of selected parts, an autosave, a first save) and at moments
//   spread over a save's length leaves the design whole, old or new (new
//   when the save had finished), and the next save succeeds.
// contention: two and three programs save one design at once, in every
//   combination of modes: all succeed, the design holds what the save that
//   reported last wrote, nothing is left beside it. A save stopped halfway
//   keeps a rival that will not wait out and lets one that waits in once it
//   is killed.

#define NOMINMAX
#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string g_test;
fs::path g_zvfile;
fs::path g_stoppable;
fs::path g_folder;
std::vector<HANDLE> g_running; // the processes started and not yet waited for

[[noreturn]] void fail(const std::string& why) {
    std::cerr << g_test << ": " << why << std::endl;
    for (HANDLE process : g_running) { // a save stopped at a step would wait for ever
        ::TerminateProcess(process, 1);
    }
    std::exit(1);
}

std::wstring wide(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
    return result;
}

// What `file` holds now (nothing when it is not there), read while its
// writers may still have it open.
std::string contents(const fs::path& file) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string text;
    if (handle == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(handle, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    ::CloseHandle(handle);
    return text;
}

long long milliseconds(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

// One zvfile process, run in FOLDER. Its standard output goes to `out`,
// appended to (several processes may share one such log: lines then stand
// in the order they were written), its error output to `err`.
class Process {
public:
    static constexpr UINT kKilled = 0xDEAD;

    Process(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            const std::string& pauseAt = "") {
        const fs::path& program = pauseAt.empty() ? g_zvfile : g_stoppable;
        std::wstring command = L"\"" + program.wstring() + L"\"";
        for (const std::string& arg : args) {
            command += L" \"" + wide(arg) + L"\"";
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE output = ::CreateFileW(out.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        HANDLE errors = ::CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE || errors == INVALID_HANDLE_VALUE) {
            fail("cannot open the output files of a run");
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = errors;
        PROCESS_INFORMATION process{};
        // The child takes the environment as it is at its start.
        ::SetEnvironmentVariableW(L"ZVFILE_PAUSE_AT", pauseAt.empty() ? nullptr : wide(pauseAt).c_str());
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
        ::CloseHandle(output);
        ::CloseHandle(errors);
        if (error != ERROR_SUCCESS) {
            fail("cannot start " + program.string() + ": error " + std::to_string(error));
        }
        ::CloseHandle(process.hThread);
        m_process = process.hProcess;
        g_running.push_back(m_process);
        m_err = err;
        m_what = "zvfile";
        for (const std::string& arg : args) {
            m_what += " " + arg;
        }
    }
    ~Process() {
        if (running()) {
            ::TerminateProcess(m_process, kKilled);
            ::WaitForSingleObject(m_process, INFINITE);
        }
        std::erase(g_running, m_process);
        ::CloseHandle(m_process);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool running() const { return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    std::string errors() const { return contents(m_err); }
    const std::string& what() const { return m_what; }

    // Its exit code, once it has ended (within two minutes).
    DWORD wait() const {
        if (::WaitForSingleObject(m_process, 120000) != WAIT_OBJECT_0) {
            fail(m_what + " did not end within two minutes: " + errors());
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        return code;
    }
    // Until its error output holds `text`; fails when it ends first.
    void waitFor(const std::string& text) const {
        for (const auto until = Clock::now() + 60s; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
            if (errors().find(text) != std::string::npos) {
                return;
            }
            if (!running()) {
                fail(m_what + " ended (exit " + std::to_string(wait()) + ") before it said '" + text + "': " +
                     errors());
            }
        }
        fail(m_what + " did not say '" + text + "' within 60 s: " + errors());
    }
    // Ends it; true when this ended it, false when it had finished by
    // itself (successfully: a failed run fails the test).
    bool kill() const {
        ::TerminateProcess(m_process, kKilled);
        const DWORD code = wait();
        if (code != kKilled && code != 0) {
            fail(m_what + " failed instead of being killed (exit " + std::to_string(code) + "): " + errors());
        }
        return code == kKilled;
    }

private:
    HANDLE m_process = nullptr;
    fs::path m_err;
    std::string m_what;
};

// Runs zvfile to its end; fails unless it succeeds. Returns its output.
std::string run(const std::vector<std::string>& args) {
    const fs::path out = g_folder / "run.out";
    fs::remove(out);
    const Process process(args, out, g_folder / "run.err");
    if (const DWORD code = process.wait(); code != 0) {
        fail(process.what() + " failed (exit " + std::to_string(code) + "): " + process.errors());
    }
    return contents(out);
}

struct State {
    std::string revision;
    long long objects = -1;
    bool operator==(const State&) const = default;
    std::string text() const { return revision + ":" + std::to_string(objects); }
};

// The design's data revision and object count; nothing when it does not open.
std::optional<State> stateOf(const std::string& design) {
    const fs::path out = g_folder / "info.out";
    fs::remove(out);
    const Process info({"info", design, "--json"}, out, g_folder / "info.err");
    if (info.wait() != 0) {
        return std::nullopt;
    }
    const nlohmann::json json = nlohmann::json::parse(contents(out));
    return State{json.at("dataRevision").get<std::string>(), json.at("objects").get<long long>()};
}

std::vector<std::string> saveArgs(const std::string& design, const std::string& mode, long long objects,
                                  const std::string& revision) {
    std::vector<std::string> args{"save", design, "--mode", mode, "--objects", std::to_string(objects),
                                  "--data-revision", revision};
    if (mode == "update-selected") {
        args.insert(args.end(), {"--select", "pipes,pumps"});
    }
    return args;
}

int crash() {
    const std::string design = "big.zvd";
    constexpr long long big = 150000;
    int cases = 0;
    int finishedFirst = 0; // of the saves killed after a time: those that had finished by then
    int lost = 0;
    const auto lose = [&](const std::string& why) {
        std::cerr << "lost: " << why << std::endl;
        ++lost;
    };
    run(saveArgs(design, "overwrite", 1000, "gen0"));
    // The random moments are fractions of a whole save of the big design.
    const auto began = Clock::now();
    run(saveArgs(design, "overwrite", big, "gen1"));
    const Clock::duration saveTime = Clock::now() - began;
    std::optional<State> current = stateOf(design);

    // A save killed at a step (a name) or after a part of a whole save's time.
    int gen = 2;
    const auto attempt = [&](const std::string& mode, const std::string& step, double part) {
        long long count = gen % 2 != 0 ? big : 1000 + gen;
        if (mode != "overwrite" && current && count < current->objects) {
            count = big; // an update keeps every object the design holds
        }
        const std::string revision = "gen" + std::to_string(gen++);
        const Process save(saveArgs(design, mode, count, revision), g_folder / "save.out", g_folder / "save.err",
                           step);
        if (!step.empty()) {
            save.waitFor("paused at " + step);
        } else {
            std::this_thread::sleep_for(std::chrono::duration_cast<Clock::duration>(saveTime * part));
        }
        const bool finished = !save.kill();
        ++cases;
        finishedFirst += finished ? 1 : 0;
        const std::string when = step.empty() ? std::to_string(part) + " of a save's time" : step;
        const std::optional<State> found = stateOf(design);
        if (!found) {
            lose("after a kill (" + mode + ", " + when + ") the design does not open");
            return;
        }
        // An update of selected parts leaves the objects of the others.
        const bool isNew = mode == "update-selected" ? found->revision == revision : *found == State{revision, count};
        if (!isNew && (finished || !current || !(*found == *current))) {
            lose("after a kill (" + mode + ", " + when + ") the design is " + found->text() + ", not " + revision +
                 (finished ? "" : " nor " + (current ? current->text() : "?")));
        }
        current = found;
    };
    for (const std::string mode : {"overwrite", "update-all", "update-selected"}) {
        for (const std::string step : {"locked", "prepared", "writing", "committed"}) {
            attempt(mode, step, 0);
        }
        for (const double part : {0.1, 0.3, 0.5, 0.7, 0.9, 1.1}) {
            attempt(mode, "", part);
        }
        // Let run after the kills, the save takes effect.
        const std::string revision = "gen" + std::to_string(gen++);
        run(saveArgs(design, mode, big, revision));
        current = stateOf(design);
        if (!current || current->revision != revision) {
            lose("a " + mode + " save let run after the kills left " + (current ? current->text() : "no design"));
        }
    }
    // The road is clear afterwards: a save completes and leaves no temporary file.
    run(saveArgs(design, "overwrite", 10, "final"));
    if (stateOf(design) != State{"final", 10} || fs::exists(g_folder / "big.tmp.zvd")) {
        lose("the save after the kills failed or left its temporary file");
    }

    // pause: a run killed once it reached `step`.
    const auto pause = [&](const std::string& step, const std::vector<std::string>& args) {
        const Process process(args, g_folder / "save.out", g_folder / "save.err", step);
        process.waitFor("paused at " + step);
        if (!process.kill()) {
            fail(process.what() + " finished while paused at " + step);
        }
        ++cases;
    };
    run({"autosave", design});
    const fs::path copy = g_folder / "big.bak.zvd";
    const std::string before = contents(copy);
    run(saveArgs(design, "overwrite", big, "later"));
    pause("committed", {"autosave", design}); // the copy is written, not yet in place
    if (contents(copy) != before) {
        lose("a killed autosave damaged the previous copy");
    }
    run({"autosave", design});
    if (fs::exists(g_folder / "big.bak.tmp.zvd") || contents(copy) == before) {
        lose("the autosave after a killed one failed or left its temporary copy");
    }
    for (const std::string step : {"locked", "writing"}) {
        const std::string first = "first-" + step + ".zvd";
        pause(step, saveArgs(first, "overwrite", big, "first"));
        std::error_code error;
        if (fs::exists(g_folder / first) && fs::file_size(g_folder / first, error) != 0) {
            lose("a first save killed at " + step + " left a file that is not empty");
        }
        run(saveArgs(first, "overwrite", 10, "again"));
        if (stateOf(first) != State{"again", 10}) {
            lose("the first save after a killed one (at " + step + ") failed");
        }
    }
    std::cout << "crash: " << cases << " saves killed, " << finishedFirst
              << " of them had finished first (a whole save of " << big << " objects takes "
              << milliseconds(saveTime) << " ms here); designs lost: " << lost << std::endl;
    return lost == 0 ? 0 : 1;
}

int contention() {
    // Each program names the design its own way, so that its line in the
    // shared log tells which one it was.
    const std::string names[] = {"pump.zvd", ".\\pump.zvd", "./pump.zvd"};
    const std::string modes[] = {"overwrite", "update-all", "update-selected"};
    const fs::path log = g_folder / "saved.log";
    run(saveArgs(names[0], "overwrite", 500, "start"));
    int round = 0;
    int overlapped = 0; // rounds in which a save waited for another
    Clock::duration slowest{};
    const auto began = Clock::now();
    // One round: programs `count`, with the modes the digits of `combination` in base 3 name.
    const auto contend = [&](std::size_t count, std::size_t combination) {
        ++round;
        fs::remove(log);
        std::vector<std::unique_ptr<Process>> saves;
        const auto started = Clock::now();
        for (std::size_t i = 0; i < count; ++i, combination /= 3) {
            const std::string& mode = modes[combination % 3];
            std::vector<std::string> args = saveArgs(names[i], mode, 1000 + round, std::string(1, char('a' + i)) +
                                                                                     std::to_string(round));
            args.insert(args.end(), {"--wait", "30"});
            saves.push_back(std::make_unique<Process>(args, log, g_folder / ("err" + std::to_string(i))));
        }
        bool waited = false;
        for (const auto& save : saves) {
            if (const DWORD code = save->wait(); code != 0) {
                fail("round " + std::to_string(round) + ": " + save->what() + " failed (exit " +
                     std::to_string(code) + "): " + save->errors());
            }
            waited = waited || save->errors().find("waiting up to") != std::string::npos;
        }
        overlapped += waited ? 1 : 0;
        slowest = std::max(slowest, Clock::now() - started);
        const std::string lines = contents(log);
        std::size_t reported = 0;
        std::string expected;
        for (std::size_t at = 0, end = 0; at < lines.size(); at = end + 1) {
            end = std::min(lines.find('\n', at), lines.size());
            const std::string line = lines.substr(at, end - at);
            if (line.rfind("saved ", 0) != 0) {
                continue;
            }
            ++reported;
            for (std::size_t i = 0; i < count; ++i) {
                if (line.find("'" + names[i] + "'") != std::string::npos) {
                    expected = std::string(1, char('a' + i)) + std::to_string(round);
                }
            }
        }
        if (reported != count) {
            fail("round " + std::to_string(round) + ": not every save reported success: " + contents(log));
        }
        const std::optional<State> found = stateOf(names[0]);
        if (!found || found->revision != expected) {
            fail("round " + std::to_string(round) + ": the design holds " + (found ? found->text() : "nothing") +
                 ", but the save reported last wrote " + expected + ": " + contents(log));
        }
        if (fs::exists(g_folder / "pump.tmp.zvd")) {
            fail("round " + std::to_string(round) + ": the temporary file is left");
        }
    };
    constexpr int pairRepeats = 4;
    for (int repeat = 0; repeat < pairRepeats; ++repeat) {
        for (std::size_t combination = 0; combination < 9; ++combination) {
            contend(2, combination);
        }
    }
    const int pairs = round;
    for (std::size_t combination = 0; combination < 27; ++combination) {
        contend(3, combination);
    }
    const long long total = milliseconds(Clock::now() - began);
    if (overlapped == 0) {
        fail("the saves never overlapped: the rounds proved nothing");
    }

    // A save stopped halfway holds the design.
    const Process stopped(saveArgs(names[0], "overwrite", 3000, "stopped"), g_folder / "stopped.out",
                          g_folder / "stopped.err", "writing");
    stopped.waitFor("paused at writing");
    const std::optional<State> held = stateOf(names[0]);
    std::vector<std::string> impatient = saveArgs(names[0], "overwrite", 10, "impatient");
    impatient.insert(impatient.end(), {"--wait", "0.2"});
    const Process refused(impatient, g_folder / "impatient.out", g_folder / "impatient.err");
    if (refused.wait() != 1 || refused.errors().find("another program is saving it") == std::string::npos) {
        fail("a save that would not wait was not refused as busy: " + refused.errors());
    }
    std::vector<std::string> patientArgs = saveArgs(names[0], "overwrite", 10, "patient");
    patientArgs.insert(patientArgs.end(), {"--wait", "60"});
    const Process patient(patientArgs, g_folder / "patient.out", g_folder / "patient.err");
    patient.waitFor("waiting up to");
    if (stateOf(names[0]) != held) {
        fail("the design changed while the stopped save held it");
    }
    stopped.kill();
    if (patient.wait() != 0) {
        fail("the waiting save failed after the other was killed: " + patient.errors());
    }
    if (stateOf(names[0]) != State{"patient", 10} || fs::exists(g_folder / "pump.tmp.zvd")) {
        fail("the waiting save did not take effect, or left its temporary file");
    }
    std::cout << "contention: " << pairs << " rounds of two saves at once and " << round - pairs
              << " of three, every combination of modes, in " << total << " ms (slowest round "
              << milliseconds(slowest) << " ms; a save waited for another in " << overlapped
              << "); a stopped save held off both rivals" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (std::string(argv[1]) != "crash" && std::string(argv[1]) != "contention")) {
        std::cerr << "usage: zvfile_save_processes crash|contention ZVFILE STOPPABLE FOLDER\n";
        return 2;
    }
    g_test = argv[1];
    g_zvfile = fs::absolute(argv[2]);
    g_stoppable = fs::absolute(argv[3]);
    g_folder = fs::absolute(argv[4]);
    fs::remove_all(g_folder);
    fs::create_directories(g_folder);
    // English whatever the user's language, for the texts looked for; the
    // stoppable program's module finds the libraries beside the other.
    ::SetEnvironmentVariableW(L"LC_ALL", L"C");
    const DWORD length = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(length, L'\0');
    ::GetEnvironmentVariableW(L"PATH", path.data(), length);
    ::SetEnvironmentVariableW(L"PATH", (g_zvfile.parent_path().wstring() + L";" + path.c_str()).c_str());
    const int result = g_test == "crash" ? crash() : contention();
    fs::remove_all(g_folder);
    return result;
}
