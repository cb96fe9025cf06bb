#include "Program.h"

#include "Common/WindowsText.h"

#include <cstdio>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <utility>

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
// page after. The C runtime must hand it whole characters, as they are:
// in text mode it reads each byte as a character of its own locale ("ö"
// comes out as "Ã¶"), and unbuffered it may write a character's bytes one
// at a time, which the console cannot put together. So a console stream
// is written in binary mode (the console itself starts a new line at
// "\n") through a buffer, which the C++ streams flush at each std::endl
// and before anything goes to standard error. Files and pipes get the
// UTF-8 bytes as they are, in text mode.
class Utf8Console {
public:
    Utf8Console() {
        for (const auto& [stream, handle] : {std::pair{stdout, STD_OUTPUT_HANDLE}, {stderr, STD_ERROR_HANDLE}}) {
            if (isConsole(handle)) {
                (void)::_setmode(::_fileno(stream), _O_BINARY);
                (void)std::setvbuf(stream, nullptr, _IOFBF, kBuffer);
                m_previous = ::GetConsoleOutputCP();
            }
        }
        if (m_previous != 0) {
            ::SetConsoleOutputCP(CP_UTF8);
        }
    }
    ~Utf8Console() {
        std::fflush(stdout);
        std::fflush(stderr);
        if (m_previous != 0) {
            ::SetConsoleOutputCP(m_previous);
        }
    }
    Utf8Console(const Utf8Console&) = delete;
    Utf8Console& operator=(const Utf8Console&) = delete;

private:
    // Larger than anything the program writes between two flushes, so
    // that a character is never cut between two writes.
    static constexpr std::size_t kBuffer = 64 * 1024;
    UINT m_previous = 0; // the console's code page; 0: no console
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    const Utf8Console console;
    return zvfile::runProgram(utf8Arguments(argc, argv));
}
