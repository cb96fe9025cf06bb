// zvfile: opens, saves and inspects design files through Persistence_ZvFileIO.
//
// Exit codes: 0 done, 1 refused (read-only, newer version, unreadable
// file), 2 usage error.
//
// This program is only the command line. The commands, and every library
// they use, are in a module loaded once the command line names a command
// (Invocation.h), so that help and usage errors cost no more than starting
// the program itself. The module is loaded before that only when the user
// asks for a language other than English, for the translations of this
// program's own texts.

#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DynamicLibrary/DynamicLibrary.h"
#include "Invocation.h"
#include "Program.h"
#include "Translation/Languages.h"
#include "Translation/Substitute.h"

namespace zv_build {
extern const char* const kRevision;
}

namespace {

using Zorvan::substitute;

// The commands module. It is installed at ZVFILE_COMMANDS_MODULE relative
// to the program's folder (bin/../lib/zvfile/), and the build tree keeps the
// same relation, so the one program finds it in both; a program moved
// together with its module (prefix/tools/zvfile/, beside the other tools of
// a package) finds it beside itself. The path is made from the program's
// own file rather than left to a run path: the sanitizer runtimes stand in
// for dlopen, and the loader then consults their run path instead of this
// program's. The program's file comes with every link resolved, so ".." can
// be dropped by the text alone. When neither place holds the module, the
// installed place is the one a failure names.
std::filesystem::path commandsModule() {
    const std::filesystem::path folder = Zorvan::DynamicLibrary::programFile().parent_path();
    const std::filesystem::path installed = (folder / ZVFILE_COMMANDS_MODULE).lexically_normal();
    const std::filesystem::path beside = folder / installed.filename();
    std::error_code error;
    return !std::filesystem::exists(installed, error) && std::filesystem::exists(beside, error) ? beside : installed;
}

// The module, loaded at most once; its loading failure is kept for the
// one line that reports it.
class Commands {
public:
    zvfile::EntryPoint* run() { return load() ? m_library->symbol<zvfile::EntryPoint>(zvfile::kEntryPoint) : nullptr; }
    zvfile::TranslateEntry* translator() {
        return load() ? m_library->symbol<zvfile::TranslateEntry>(zvfile::kTranslateEntry) : nullptr;
    }
    const std::string& failure() const { return m_failure; }

private:
    bool load() {
        if (!m_library && m_failure.empty()) {
            try {
                m_library = Zorvan::DynamicLibrary::open(commandsModule());
            } catch (const std::exception& e) {
                m_failure = e.what();
            }
        }
        return m_library.has_value();
    }

    std::optional<Zorvan::DynamicLibrary> m_library;
    std::string m_failure;
};

Commands commands;
// The module's translator once a language other than English is asked for.
zvfile::TranslateEntry* translator = nullptr;

std::string translate(const char* context, const char* sourceText) {
    if (translator == nullptr) {
        return sourceText;
    }
    std::string translated;
    translator(context, sourceText, translated);
    return translated;
}

// The program's own texts come from the module, loaded for them only when
// the user asks for a language other than English.
void chooseLanguage() {
    if (!Zorvan::languagesFromEnvironment().empty()) {
        translator = commands.translator();
        if (translator == nullptr) {
            std::cerr << "zvfile: messages stay in English: " << commands.failure() << "\n";
        }
    }
}

// Runs the command in the module, loaded now.
int runCommand(const zvfile::Invocation& invocation) {
    zvfile::EntryPoint* run = commands.run();
    if (run == nullptr) {
        std::cerr << "zvfile: "
                  << substitute(translate("zvfile", "cannot load its commands: %1"), {commands.failure()}) << "\n";
        return zvfile::kRefused;
    }
    return run(invocation);
}

} // namespace

namespace zvfile {

int runProgram(const std::vector<std::string>& args) {
    chooseLanguage();
    const CommandLine line =
        readCommandLine(args, std::string("zvfile " ZVFILE_VERSION " (source revision ") + zv_build::kRevision + ")",
                        translate, std::cout, std::cerr);
    return line.invocation ? runCommand(*line.invocation) : line.exitCode;
}

} // namespace zvfile
