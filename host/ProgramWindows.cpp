#include "Program.h"

#include "Common/WindowsText.h"

#include <cstdio>
#include <cwchar>

namespace {

// Windows hands a narrow main() its arguments in the 8-bit code page,
// where "Größe" may survive but "泵站" becomes "??": the program takes
// them as UTF-16, in full, and makes them the UTF-8 the library's names are.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(Zorvan::windows::narrow(argv[i], static_cast<int>(std::wcslen(argv[i]))));
    }
    return args;
}

// A console, not a file, a pipe or the NUL device.
bool isConsole(DWORD stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(stream), &mode) != 0;
}

// A console shows the bytes written to it in its output code page, the
// 8-bit one unless told otherwise: while the program runs it is told
// UTF-8, which every text of the program is, and given back its own code
// page after. Files and pipes get the UTF-8 bytes as they are.
class Utf8Console {
public:
    Utf8Console() : m_previous(isConsole(STD_OUTPUT_HANDLE) || isConsole(STD_ERROR_HANDLE) ? ::GetConsoleOutputCP() : 0) {
        if (m_previous != 0 && m_previous != CP_UTF8) {
            ::SetConsoleOutputCP(CP_UTF8);
        }
    }
    ~Utf8Console() {
        if (m_previous != 0 && m_previous != CP_UTF8) {
            std::fflush(stdout);
            std::fflush(stderr);
            ::SetConsoleOutputCP(m_previous);
        }
    }
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    UINT m_previous;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    const Utf8Console console;
    return zvfile::runProgram(utf8Arguments(argc, argv));
}
