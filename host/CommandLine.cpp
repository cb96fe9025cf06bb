#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "Translation/Substitute.h"

namespace zvfile {
namespace {

using Zorvan::substitute;

constexpr std::string_view kCommands[] = {"save", "info", "autosave", "recover", "clean", "salvage", "demo"};

// What the options are read into before they make an Invocation.
struct Given {
    Invocation invocation;
    std::string mode = "overwrite";
    std::string objects;
    double waitSeconds = static_cast<double>(kDefaultLockWait.count());
    bool noProgress = false;
    CLI::App* save = nullptr;
    CLI::App* info = nullptr;
    CLI::App* autosave = nullptr;
    CLI::App* recover = nullptr;
    CLI::App* clean = nullptr;
    CLI::App* salvage = nullptr;
};

class Reader {
public:
    Reader(const std::string& version, const Translation& translation, std::ostream& out, std::ostream& err)
        : m_version(version), m_translation(translation), m_out(out), m_err(err) {}

    CommandLine read(std::vector<std::string> args) {
        m_args = args;
        if (const std::optional<std::string> unknown = takeHelpCommand(args)) {
            return {std::nullopt, usageError(substitute(translate("zvfile", "unknown command '%1'"), {*unknown}), "")};
        }
        CLI::App app{translate("zvfile", "Open, save and inspect design files."), "zvfile"};
        describeProgram(app);
        Given given;
        addCommands(app, given);
        try {
            std::reverse(args.begin(), args.end()); // CLI11 takes them last first
            app.parse(args);
        } catch (const CLI::CallForHelp& e) {
            return {std::nullopt, app.exit(e, m_out, m_err)};
        } catch (const CLI::CallForVersion& e) {
            return {std::nullopt, app.exit(e, m_out, m_err)};
        } catch (const CLI::ParseError& e) {
            return {std::nullopt, usageError(app, e)};
        }
        return {invocationOf(given), kDone};
    }

private:
    std::string translate(const char* context, const char* sourceText) const {
        return m_translation(context, sourceText);
    }

    // "zvfile help [COMMAND]" is "zvfile [COMMAND] --help". A first word
    // that names no command is returned, to be named in the error (CLI11
    // would only say that a command is missing).
    static std::optional<std::string> takeHelpCommand(std::vector<std::string>& args) {
        const auto first = std::find_if(args.begin(), args.end(), [](const std::string& a) { return a[0] != '-'; });
        if (first != args.end() && *first == "help") {
            args.erase(first);
            args.emplace_back("--help");
        } else if (first != args.end() && std::find(std::begin(kCommands), std::end(kCommands), *first) ==
                                              std::end(kCommands)) {
            return *first;
        }
        return std::nullopt;
    }

    // What the program says of itself: help flag, version, the help's words.
    void describeProgram(CLI::App& app) const {
        app.require_subcommand(1);
        // The same command line on every system: on Windows CLI11 would also
        // take "/wait" for an option, and so a rooted file name "/designs/pump.zvd".
        // Set before the commands are added, which copy it.
        app.allow_windows_style_options(false);
        app.fallthrough();
        app.set_help_flag("-h,--help", translate("zvfile", "Print this help and exit"));
        app.set_version_flag("--version", m_version,
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
    }

    CLI::App* command(CLI::App& app, const char* name, const std::string& description,
                      const std::string& example) const {
        CLI::App* added = app.add_subcommand(name, description);
        added->set_help_flag("-h,--help", translate("zvfile", "Print this help and exit"));
        added->footer(substitute(translate("zvfile", "Example:\n  %1"), {example}) + "\n");
        return added;
    }
    void fileArgument(CLI::App* command, Given& given) const {
        command->add_option("FILE", given.invocation.file, translate("zvfile", "Design file"))->required();
    }
    void waitOption(CLI::App* command, Given& given) const {
        command
            ->add_option("--wait", given.waitSeconds,
                         substitute(translate("zvfile", "Seconds to wait for another program that is saving FILE, "
                                                        "0 to 3600 (default %1)"),
                                    {std::to_string(kDefaultLockWait.count())}))
            ->check(seconds());
    }

    void addCommands(CLI::App& app, Given& given) const {
        Invocation& invocation = given.invocation;
        app.add_flag("-v,--verbose", invocation.verbosity,
                     translate("zvfile", "Show the library's log lines; twice also where in the source they come "
                                         "from"));
        CLI::App* save = given.save = command(app, "save", translate("zvfile", "Save the sample design to FILE"),
                                              "zvfile save pump.zvd --objects 1000 --data-revision 'valve fix'");
        fileArgument(save, given);
        save->add_option("--mode", given.mode,
                         translate("zvfile", "How to save: overwrite (a new version through a temporary file), "
                                             "update-selected or update-all (in place); default overwrite"))
            ->check(oneOf(modeWords()));
        save->add_option("--objects", given.objects,
                         substitute(translate("zvfile", "Objects the design holds, 0 to %1 (default: as many as it "
                                                        "holds now, 100 for a new design)"),
                                    {std::to_string(kMaxObjects)}))
            ->check(wholeNumber(kMaxObjects));
        save->add_option("--select", invocation.select,
                         translate("zvfile", "Parts update-selected saves, separated by commas: pipes, valves, "
                                             "pumps, sensors"))
            ->delimiter(',')
            ->check(oneOf({"pipes", "valves", "pumps", "sensors"}));
        auto* revision =
            save->add_option("--data-revision", invocation.dataRevision, translate("zvfile", "Data revision text"));
        save->add_option("--data-revision-number", invocation.dataRevisionNumber,
                         translate("zvfile", "Data revision number"))
            ->needs(revision);
        waitOption(save, given);
        save->add_flag("--no-progress", given.noProgress,
                       translate("zvfile", "Show no progress line (it is shown only on a terminal, for long saves)"));

        given.info = command(app, "info", translate("zvfile", "Show whether FILE can be opened, its version and "
                                                              "revisions"),
                             "zvfile info pump.zvd --json");
        fileArgument(given.info, given);
        given.info->add_flag("--json", invocation.json,
                             translate("zvfile", "Print one JSON object (members in the README and "
                                                 "host/info.schema.json)"));
        given.autosave = command(app, "autosave", translate("zvfile", "Write the autosave copy of FILE and print its "
                                                                      "name"),
                                 "zvfile autosave pump.zvd");
        fileArgument(given.autosave, given);
        waitOption(given.autosave, given);
        given.recover = command(app, "recover", translate("zvfile", "Save what FILE's autosave copy holds as FILE "
                                                                    "when the copy is newer, then delete the copy"),
                                "zvfile recover pump.zvd");
        fileArgument(given.recover, given);
        waitOption(given.recover, given);
        given.clean = command(app, "clean", translate("zvfile", "Delete the autosave copy of FILE"),
                              "zvfile clean pump.zvd");
        fileArgument(given.clean, given);
        waitOption(given.clean, given);
        CLI::App* salvage = given.salvage =
            command(app, "salvage", translate("zvfile", "Write what can still be read of FILE, damaged or not, to a "
                                                        "new design, and say what came back"),
                    "zvfile salvage pump.zvd --into pump.rescued.zvd");
        fileArgument(salvage, given);
        salvage->add_option("--into", invocation.into,
                            translate("zvfile", "The new design (default: FILE's name with .salvaged before its "
                                                "extension); never an existing file"));
        salvage->add_flag("--json", invocation.json,
                          translate("zvfile", "Print the report as one JSON object (members in the README)"));
        waitOption(salvage, given);
        salvage->add_flag("--no-progress", given.noProgress,
                          translate("zvfile", "Show no progress line (it is shown only on a terminal, for long "
                                              "salvages)"));
        CLI::App* demo =
            command(app, "demo", translate("zvfile", "Tell the whole story on real files in DIR"), "zvfile demo");
        demo->add_option("DIR", invocation.folder,
                         translate("zvfile", "An empty or new folder for the demo's files (default: a new private "
                                             "temporary folder, removed afterwards)"));
    }

    static Invocation invocationOf(Given& given) {
        Invocation invocation = std::move(given.invocation);
        invocation.command = *given.save       ? Command::Save
                             : *given.info     ? Command::Info
                             : *given.autosave ? Command::Autosave
                             : *given.recover  ? Command::Recover
                             : *given.clean    ? Command::Clean
                             : *given.salvage  ? Command::Salvage
                                               : Command::Demo;
        for (const ModeWord& word : kModeWords) {
            if (given.mode == word.word) {
                invocation.mode = word.mode;
            }
        }
        invocation.objects = given.objects.empty() ? -1 : std::stoll(given.objects);
        invocation.lockWait = std::chrono::milliseconds(static_cast<std::int64_t>(given.waitSeconds * 1000));
        invocation.progress = !given.noProgress;
        return invocation;
    }

    // A usage error: what is wrong, and where help is. Exit code 2.
    int usageError(const std::string& message, const std::string& command) const {
        m_err << "zvfile: " << message << "\n"
              << substitute(translate("zvfile", "Try '%1 --help' for more information."),
                            {command.empty() ? "zvfile" : "zvfile " + command})
              << "\n";
        return kUsage;
    }
    int usageError(const CLI::App& app, const CLI::ParseError& e) const {
        if (app.get_subcommands().empty()) {
            if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
                return usageError(
                    translate("zvfile", "a command is required: save, info, autosave, recover, clean, salvage or demo"), "");
            }
            return usageError(describe(app, app, e), "");
        }
        const CLI::App& command = *app.get_subcommands().front();
        return usageError(describe(app, command, e), command.get_name());
    }

    // The text of a CLI11 parse error in the user's language where it is one
    // of the errors people make, with the names CLI11 holds for them; others
    // keep CLI11's own words.
    std::string describe(const CLI::App& app, const CLI::App& command, const CLI::ParseError& e) const {
        const std::vector<const CLI::Option*> options = command.get_options();
        const auto find = [&](const auto& matches) {
            const auto found = std::find_if(options.begin(), options.end(), matches);
            return found == options.end() ? nullptr : *found;
        };
        if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr && !app.remaining(true).empty()) {
            std::string extras;
            for (const std::string& extra : app.remaining(true)) {
                extras += (extras.empty() ? "" : " ") + extra;
            }
            return substitute(translate("zvfile", "unexpected argument: %1"), {extras});
        }
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
            if (const CLI::Option* missing =
                    find([](const CLI::Option* o) { return o->get_required() && o->count() == 0; })) {
                return substitute(translate("zvfile", "%1 is required"), {missing->get_name()});
            }
        }
        if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr) {
            const auto unmet = [](const CLI::Option* o) {
                const auto needs = o->get_needs();
                return o->count() > 0 &&
                       std::any_of(needs.begin(), needs.end(), [](const CLI::Option* n) { return n->count() == 0; });
            };
            if (const CLI::Option* needing = find(unmet)) {
                const auto needs = needing->get_needs();
                const CLI::Option* needed =
                    *std::find_if(needs.begin(), needs.end(), [](const CLI::Option* n) { return n->count() == 0; });
                return substitute(translate("zvfile", "%1 needs %2"), {needing->get_name(), needed->get_name()});
            }
        }
        if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
            // The option given without its value: named on the command line, holding nothing.
            if (const CLI::Option* valueless = find([&](const CLI::Option* o) {
                    return o->get_items_expected_min() > 0 && o->count() == 0 && named(*o);
                })) {
                return substitute(translate("zvfile", "%1 needs a value"), {valueless->get_name()});
            }
        }
        return e.what();
    }
    bool named(const CLI::Option& option) const {
        return std::any_of(m_args.begin(), m_args.end(), [&](const std::string& a) { return option.check_name(a); });
    }

    static std::vector<std::string> modeWords() {
        std::vector<std::string> words;
        for (const ModeWord& word : kModeWords) {
            words.emplace_back(word.word);
        }
        return words;
    }

    // Validators with plain messages: CLI11 puts the option's name before them.
    CLI::Validator wholeNumber(std::int64_t most) const {
        return CLI::Validator(
            [this, most](std::string& text) -> std::string {
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
    CLI::Validator seconds() const {
        return CLI::Validator(
            [this](std::string& text) -> std::string {
                double value = -1;
                const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
                if (error != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= 3600)) {
                    return substitute(translate("zvfile", "'%1' is not a number of seconds from 0 to 3600"), {text});
                }
                return "";
            },
            "");
    }
    CLI::Validator oneOf(std::vector<std::string> words) const {
        return CLI::Validator(
            [this, words](std::string& text) -> std::string {
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

    const std::string& m_version;
    const Translation& m_translation;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<std::string> m_args;
};

} // namespace

CommandLine readCommandLine(std::vector<std::string> args, const std::string& version, const Translation& translate,
                            std::ostream& out, std::ostream& err) {
    return Reader(version, translate, out, err).read(std::move(args));
}

} // namespace zvfile
