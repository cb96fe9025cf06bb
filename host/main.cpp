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

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DynamicLibrary/DynamicLibrary.h"
#include "Invocation.h"
#include "Translation/Languages.h"
#include "Translation/Substitute.h"

namespace zv_build {
extern const char* const kRevision;
}

namespace {

using Zorvan::substitute;

// The commands module. It is installed at ZVFILE_COMMANDS_MODULE relative
// to the program's folder (bin/../lib/zvfile/), and the build tree keeps the
// same relation, so the one program finds it in both. The path is made
// from the program's own file rather than left to a run path: the
// sanitizer runtimes stand in for dlopen, and the loader then consults
// their run path instead of this program's. The program's file comes with
// every link resolved, so ".." can be dropped by the text alone.
std::filesystem::path commandsModule() {
    return (Zorvan::DynamicLibrary::programFile().parent_path() / ZVFILE_COMMANDS_MODULE).lexically_normal();
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

// A usage error: what is wrong, and where help is. Exit code 2.
class UsageError : public std::runtime_error {
public:
    UsageError(const std::string& message, std::string command)
        : std::runtime_error(message), m_command(std::move(command)) {}
    const std::string& command() const { return m_command; }

private:
    std::string m_command;
};

int usageError(const std::string& message, const std::string& command) {
    std::cerr << "zvfile: " << message << "\n"
              << substitute(translate("zvfile", "Try '%1 --help' for more information."),
                            {command.empty() ? "zvfile" : "zvfile " + command})
              << "\n";
    return zvfile::kUsage;
}

// Validators with plain messages: CLI11 puts the option's name before them.
CLI::Validator wholeNumber(std::int64_t most) {
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            std::int64_t value = -1;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > most) {
                return substitute(translate("zvfile", "'%1' is not a whole number from 0 to %2"),
                                  {text, std::to_string(most)});
            }
            return "";
        },
        "");
}

CLI::Validator seconds() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = -1;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (error != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 3600)) {
                return substitute(translate("zvfile", "'%1' is not a number of seconds from 0 to 3600"), {text});
            }
            return "";
        },
        "");
}

CLI::Validator oneOf(std::vector<std::string> words) {
    return CLI::Validator(
        [words](std::string& text) -> std::string {
            if (std::find(words.begin(), words.end(), text) != words.end()) {
                return "";
            }
            std::string list;
            for (const std::string& word : words) {
                list += (list.empty() ? "" : ", ") + word;
            }
            return substitute(translate("zvfile", "'%1' is not one of %2"), {text, list});
        },
        "");
}

// The text of a CLI11 parse error in the user's language where it is one
// of the errors people make; others keep CLI11's own words.
std::string describe(const CLI::ParseError& e) {
    const std::string what = e.what();
    const auto after = [&](std::string_view marker) {
        const auto at = what.find(marker);
        return at == std::string::npos ? std::string() : what.substr(at + marker.size());
    };
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
        return substitute(translate("zvfile", "unexpected argument: %1"), {after(": ")});
    }
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && what.find(" is required") != std::string::npos) {
        return substitute(translate("zvfile", "%1 is required"), {what.substr(0, what.find(" is required"))});
    }
    if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr && what.find(" requires ") != std::string::npos) {
        return substitute(translate("zvfile", "%1 needs %2"),
                          {what.substr(0, what.find(" requires ")), after(" requires ")});
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        return substitute(translate("zvfile", "%1 needs a value"), {what.substr(0, what.find(':'))});
    }
    return what;
}

} // namespace

int main(int argc, char** argv) {
    using zvfile::Command;
    using zvfile::SaveMode;
    const std::vector<std::string> languages = Zorvan::languagesFromEnvironment();
    if (!languages.empty()) {
        translator = commands.translator();
        if (translator == nullptr) {
            std::cerr << "zvfile: messages stay in English: " << commands.failure() << "\n";
        }
    }
    const std::vector<std::string_view> names = {"save", "info", "autosave", "clean", "demo"};

    // "zvfile help [COMMAND]" is "zvfile [COMMAND] --help"; a first word that
    // names no command is named in the error (CLI11 would only say that a
    // command is missing).
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto first = std::find_if(args.begin(), args.end(), [](const std::string& a) { return a[0] != '-'; });
    if (first != args.end() && *first == "help") {
        args.erase(first);
        args.emplace_back("--help");
    } else if (first != args.end() && std::find(names.begin(), names.end(), *first) == names.end()) {
        return usageError(substitute(translate("zvfile", "unknown command '%1'"), {*first}), "");
    }

    CLI::App app{translate("zvfile", "Open, save and inspect design files."), "zvfile"};
    app.require_subcommand(1);
    // The same command line on every system: on Windows CLI11 would also
    // take "/wait" for an option, and so a rooted file name "/designs/pump.zvd".
    // Set before the commands are added, which copy it.
    app.allow_windows_style_options(false);
    app.fallthrough();
    app.set_help_flag("-h,--help", translate("zvfile", "Print this help and exit"));
    app.set_version_flag("--version",
                         std::string("zvfile " ZVFILE_VERSION " (source revision ") + zv_build::kRevision + ")",
                         translate("zvfile", "Print the version and the source revision it was built from"));
    auto formatter = app.get_formatter();
    formatter->label("Usage", translate("zvfile", "Usage"));
    formatter->label("OPTIONS", translate("zvfile", "OPTIONS"));
    formatter->label("SUBCOMMAND", translate("zvfile", "COMMAND"));
    formatter->label("SUBCOMMANDS", translate("zvfile", "COMMANDS"));
    formatter->label("Positionals", translate("zvfile", "Arguments"));
    formatter->label("Options", translate("zvfile", "Options"));
    app.option_defaults()->group(translate("zvfile", "Options"));
    formatter->label("Subcommands", translate("zvfile", "Commands"));
    formatter->label("REQUIRED", translate("zvfile", "REQUIRED"));
    app.footer(translate("zvfile", "Run 'zvfile COMMAND --help' for a command's options and an example."));

    zvfile::Invocation invocation;
    app.add_flag("-v,--verbose", invocation.verbosity,
                 translate("zvfile", "Show the library's log lines; twice also where in the source they come from"));
    const auto subcommand = [&](const char* name, const std::string& description, const std::string& example) {
        CLI::App* command = app.add_subcommand(name, description);
        command->set_help_flag("-h,--help", translate("zvfile", "Print this help and exit"));
        command->footer(substitute(translate("zvfile", "Example:\n  %1"), {example}) + "\n");
        return command;
    };
    const auto fileArgument = [&](CLI::App* command) {
        command->add_option("FILE", invocation.file, translate("zvfile", "Design file"))->required();
    };
    double waitSeconds = static_cast<double>(zvfile::kDefaultLockWait.count());
    const auto waitOption = [&](CLI::App* command) {
        command
            ->add_option("--wait", waitSeconds,
                         substitute(translate("zvfile", "Seconds to wait for another program that is saving FILE, "
                                                        "0 to 3600 (default %1)"),
                                    {std::to_string(zvfile::kDefaultLockWait.count())}))
            ->check(seconds());
    };

    CLI::App* save = subcommand("save", translate("zvfile", "Save the sample design to FILE"),
                                "zvfile save pump.zvd --objects 1000 --data-revision 'valve fix'");
    fileArgument(save);
    std::string mode = "overwrite";
    save->add_option("--mode", mode,
                     translate("zvfile", "How to save: overwrite (a new version through a temporary file), "
                                         "update-selected or update-all (in place); default overwrite"))
        ->check(oneOf({"overwrite", "update-selected", "update-all"}));
    std::string objects;
    save->add_option("--objects", objects,
                     substitute(translate("zvfile", "Objects the design holds, 0 to %1 (default: as many as it holds "
                                                    "now, 100 for a new design)"),
                                {std::to_string(zvfile::kMaxObjects)}))
        ->check(wholeNumber(zvfile::kMaxObjects));
    save->add_option("--select", invocation.select,
                     translate("zvfile", "Parts update-selected saves, separated by commas: pipes, valves, pumps, "
                                         "sensors"))
        ->delimiter(',')
        ->check(oneOf({"pipes", "valves", "pumps", "sensors"}));
    auto* revision =
        save->add_option("--data-revision", invocation.dataRevision, translate("zvfile", "Data revision text"));
    save->add_option("--data-revision-number", invocation.dataRevisionNumber,
                     translate("zvfile", "Data revision number"))
        ->needs(revision);
    waitOption(save);
    bool noProgress = false;
    save->add_flag("--no-progress", noProgress,
                   translate("zvfile", "Show no progress line (it is shown only on a terminal, for long saves)"));

    CLI::App* info =
        subcommand("info", translate("zvfile", "Show whether FILE can be opened, its version and revisions"),
                   "zvfile info pump.zvd --json");
    fileArgument(info);
    info->add_flag("--json", invocation.json,
                   translate("zvfile", "Print one JSON object (members in the README and host/info.schema.json)"));
    CLI::App* autosave =
        subcommand("autosave", translate("zvfile", "Write the autosave copy of FILE and print its name"),
                   "zvfile autosave pump.zvd");
    fileArgument(autosave);
    waitOption(autosave);
    CLI::App* clean =
        subcommand("clean", translate("zvfile", "Delete the autosave copy of FILE"), "zvfile clean pump.zvd");
    fileArgument(clean);
    waitOption(clean);
    CLI::App* demo = subcommand("demo", translate("zvfile", "Tell the whole story on real files in DIR"),
                                "zvfile demo");
    demo->add_option("DIR", invocation.folder,
                     translate("zvfile", "An empty or new folder for the demo's files (default: a new private "
                                         "temporary folder, removed afterwards)"));

    try {
        std::reverse(args.begin(), args.end()); // CLI11 takes them last first
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::RequiredError& e) {
        if (app.get_subcommands().empty()) {
            return usageError(translate("zvfile", "a command is required: save, info, autosave, clean or demo"), "");
        }
        return usageError(describe(e), app.get_subcommands().front()->get_name());
    } catch (const CLI::ParseError& e) {
        return usageError(describe(e),
                          app.get_subcommands().empty() ? "" : app.get_subcommands().front()->get_name());
    }
    invocation.command = *save       ? Command::Save
                         : *info     ? Command::Info
                         : *autosave ? Command::Autosave
                         : *clean    ? Command::Clean
                                     : Command::Demo;
    invocation.mode = mode == "update-selected" ? SaveMode::UpdateSelected
                      : mode == "update-all"    ? SaveMode::UpdateAll
                                                : SaveMode::Overwrite;
    invocation.objects = objects.empty() ? -1 : std::stoll(objects);
    invocation.lockWait = std::chrono::milliseconds(static_cast<std::int64_t>(waitSeconds * 1000));
    invocation.progress = !noProgress;

    zvfile::EntryPoint* run = commands.run();
    if (run == nullptr) {
        std::cerr << "zvfile: "
                  << substitute(translate("zvfile", "cannot load its commands: %1"), {commands.failure()}) << "\n";
        return zvfile::kRefused;
    }
    return run(invocation);
}
