// zvfile: opens, saves and inspects design files through Persistence_ZvFileIO.
//
// Exit codes: 0 done, 1 refused (read-only, newer version, unreadable
// file), 2 usage error.
//
// This program is only the command line. The commands, and every library
// they use, are in a module loaded once the command line names a command
// (Invocation.h), so that help and usage errors cost no more than starting
// the program itself.

#include <CLI/CLI.hpp>

#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>

#include "DynamicLibrary/DynamicLibrary.h"
#include "Invocation.h"

namespace {

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

} // namespace

int main(int argc, char** argv) {
    using zvfile::Command;
    using zvfile::SaveMode;
    CLI::App app{"Open, save and inspect design files."};
    app.require_subcommand(1);

    zvfile::Invocation invocation;
    const std::map<std::string, SaveMode> modes = {{"overwrite", SaveMode::Overwrite},
                                                   {"update-selected", SaveMode::UpdateSelected},
                                                   {"update-all", SaveMode::UpdateAll}};
    CLI::App* save = app.add_subcommand("save", "Save the sample design to FILE");
    save->add_option("FILE", invocation.file, "Design file")->required();
    save->add_option("--mode", invocation.mode, "overwrite, update-selected or update-all")
        ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case));
    save->add_option("--objects", invocation.objects,
                     "Objects the design holds, 0 to " + std::to_string(zvfile::kMaxObjects))
        ->check(CLI::Range(std::int64_t{0}, zvfile::kMaxObjects));
    save->add_option("--select", invocation.select, "Parts saved by update-selected (pipes, valves, pumps, sensors)")
        ->delimiter(',');
    auto* revision = save->add_option("--data-revision", invocation.dataRevision, "Data revision text");
    save->add_option("--data-revision-number", invocation.dataRevisionNumber, "Data revision number")
        ->needs(revision);

    double waitSeconds = static_cast<double>(zvfile::kDefaultLockWait.count());
    save->add_option("--wait", waitSeconds,
                     "Seconds to wait for another program that is saving FILE (default " +
                         std::to_string(zvfile::kDefaultLockWait.count()) + ")")
        ->check(CLI::Range(0.0, 3600.0));

    CLI::App* info = app.add_subcommand("info", "Show whether FILE can be opened, its version and revisions");
    info->add_option("FILE", invocation.file, "Design file")->required();
    info->add_flag("--json", invocation.json, "Print JSON");
    CLI::App* autosave = app.add_subcommand("autosave", "Write the autosave copy of FILE and print its name");
    autosave->add_option("FILE", invocation.file, "Design file")->required();
    autosave->add_option("--wait", waitSeconds, "Seconds to wait for another program that is saving FILE")
        ->check(CLI::Range(0.0, 3600.0));
    CLI::App* clean = app.add_subcommand("clean", "Delete the autosave copy of FILE");
    clean->add_option("FILE", invocation.file, "Design file")->required();
    CLI::App* demo = app.add_subcommand("demo", "Tell the whole story on real files in DIR");
    demo->add_option("DIR", invocation.folder, "Folder for the demo's files (default: a new temporary folder)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? zvfile::kDone : zvfile::kUsage;
    }
    invocation.command = *save       ? Command::Save
                         : *info     ? Command::Info
                         : *autosave ? Command::Autosave
                         : *clean    ? Command::Clean
                                     : Command::Demo;
    invocation.lockWait = std::chrono::milliseconds(static_cast<std::int64_t>(waitSeconds * 1000));

    std::optional<Zorvan::DynamicLibrary> commands;
    zvfile::EntryPoint* run = nullptr;
    try {
        commands = Zorvan::DynamicLibrary::open(commandsModule());
        run = commands->symbol<zvfile::EntryPoint>(zvfile::kEntryPoint);
    } catch (const std::exception& e) {
        std::cerr << "zvfile: cannot load its commands: " << e.what() << "\n";
        return zvfile::kRefused;
    }
    return run(invocation);
}
