// zvfile: opens, saves and inspects design files through Persistence_ZvFileIO.
//
// Exit codes: 0 done, 1 refused (read-only, newer version, unreadable
// file), 2 usage error.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <map>

#include "Commands.h"
#include "Demo.h"
#ifdef ZV_MESSAGE_DOMAIN
#include "Translation/GettextCatalogue.h"
#endif

int main(int argc, char** argv) {
    using Zorvan::ZvFileWriteMode;
#ifdef ZV_MESSAGE_DOMAIN
    try {
        Zorvan::installGettextCatalogue(ZV_MESSAGE_DOMAIN, ZV_LOCALE_DIR);
    } catch (const std::exception& e) {
        std::cerr << "zvfile: messages stay in English: " << e.what() << "\n";
    }
#endif
    CLI::App app{"Open, save and inspect design files."};
    app.require_subcommand(1);

    zvfile::SaveOptions saveOptions;
    const std::map<std::string, ZvFileWriteMode> modes = {{"overwrite", ZvFileWriteMode::Overwrite},
                                                          {"update-selected", ZvFileWriteMode::UpdateSelected},
                                                          {"update-all", ZvFileWriteMode::UpdateAll}};
    CLI::App* save = app.add_subcommand("save", "Save the sample design to FILE");
    save->add_option("FILE", saveOptions.file, "Design file")->required();
    save->add_option("--mode", saveOptions.mode, "overwrite, update-selected or update-all")
        ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case));
    save->add_option("--objects", saveOptions.objects,
                     "Objects the design holds, 0 to " + std::to_string(zvfile::kMaxObjects))
        ->check(CLI::Range(std::int64_t{0}, zvfile::kMaxObjects));
    save->add_option("--select", saveOptions.select, "Parts saved by update-selected (pipes, valves, pumps, sensors)")
        ->delimiter(',');
    auto* revision = save->add_option("--data-revision", saveOptions.dataRevision, "Data revision text");
    save->add_option("--data-revision-number", saveOptions.dataRevisionNumber, "Data revision number")
        ->needs(revision);

    double waitSeconds = static_cast<double>(zvfile::kDefaultLockWait.count());
    save->add_option("--wait", waitSeconds,
                     "Seconds to wait for another program that is saving FILE (default " +
                         std::to_string(zvfile::kDefaultLockWait.count()) + ")")
        ->check(CLI::Range(0.0, 3600.0));

    std::string file;
    bool json = false;
    CLI::App* info = app.add_subcommand("info", "Show whether FILE can be opened, its version and revisions");
    info->add_option("FILE", file, "Design file")->required();
    info->add_flag("--json", json, "Print JSON");
    CLI::App* autosave = app.add_subcommand("autosave", "Write the autosave copy of FILE and print its name");
    autosave->add_option("FILE", file, "Design file")->required();
    autosave->add_option("--wait", waitSeconds, "Seconds to wait for another program that is saving FILE")
        ->check(CLI::Range(0.0, 3600.0));
    CLI::App* clean = app.add_subcommand("clean", "Delete the autosave copy of FILE");
    clean->add_option("FILE", file, "Design file")->required();
    std::string folder;
    CLI::App* demo = app.add_subcommand("demo", "Tell the whole story on real files in DIR");
    demo->add_option("DIR", folder, "Folder for the demo's files (default: a new temporary folder)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? zvfile::kDone : zvfile::kUsage;
    }

    const auto lockWait = std::chrono::milliseconds(static_cast<std::int64_t>(waitSeconds * 1000));
    saveOptions.lockWait = lockWait;
    const auto run = [&]() -> int {
        if (*save) {
            return zvfile::save(saveOptions, std::cout);
        }
        if (*info) {
            return zvfile::info(file, json, std::cout);
        }
        if (*autosave) {
            return zvfile::autosave(file, std::cout, lockWait);
        }
        if (*clean) {
            return zvfile::clean(file, std::cout);
        }
        if (folder.empty()) {
            folder = (std::filesystem::temp_directory_path() / "zvfile-demo").string();
            std::filesystem::remove_all(folder);
        }
        return zvfile::demo(folder, std::cout, std::cerr);
    };
    return zvfile::guarded(run, std::cerr);
}
