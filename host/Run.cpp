// run(): the command an Invocation names, with the options it carries.

#include <filesystem>
#include <stdexcept>

#include "Commands.h"
#include "Demo.h"

namespace zvfile {
namespace {

Zorvan::ZvFileWriteMode writeMode(SaveMode mode) {
    switch (mode) {
    case SaveMode::Overwrite:
        return Zorvan::ZvFileWriteMode::Overwrite;
    case SaveMode::UpdateSelected:
        return Zorvan::ZvFileWriteMode::UpdateSelected;
    case SaveMode::UpdateAll:
        return Zorvan::ZvFileWriteMode::UpdateAll;
    }
    throw std::logic_error("unknown save mode " + std::to_string(static_cast<int>(mode)));
}

} // namespace

int run(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    return guarded(
        [&]() -> int {
            switch (invocation.command) {
            case Command::Save: {
                SaveOptions options;
                options.file = invocation.file;
                options.mode = writeMode(invocation.mode);
                options.objects = invocation.objects;
                options.select = invocation.select;
                options.dataRevision = invocation.dataRevision;
                options.dataRevisionNumber = invocation.dataRevisionNumber;
                options.lockWait = invocation.lockWait;
                return save(options, out);
            }
            case Command::Info:
                return info(invocation.file, invocation.json, out);
            case Command::Autosave:
                return autosave(invocation.file, out, invocation.lockWait);
            case Command::Clean:
                return clean(invocation.file, out);
            case Command::Demo: {
                std::string folder = invocation.folder;
                if (folder.empty()) {
                    folder = (std::filesystem::temp_directory_path() / "zvfile-demo").string();
                    std::filesystem::remove_all(folder);
                }
                return demo(folder, out, err);
            }
            }
            throw std::logic_error("unknown command " + std::to_string(static_cast<int>(invocation.command)));
        },
        err);
}

} // namespace zvfile
