// run(): the command an Invocation names, with the options it carries.

#include <filesystem>
#include <random>
#include <stdexcept>

#include "Commands.h"
#include "Demo.h"

namespace zvfile {
namespace {

// A new folder in the temporary folder that only this user may enter,
// removed with everything in it when done: nobody else's files are ever in it.
class PrivateFolder {
public:
    PrivateFolder() {
        namespace fs = std::filesystem;
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            const fs::path candidate = fs::temp_directory_path() / ("zvfile-demo-" + std::to_string(random()));
            if (fs::create_directory(candidate)) {
                fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
                m_path = candidate;
                return;
            }
            if (attempt == 100) {
                throw std::runtime_error("cannot make a new folder in " + fs::temp_directory_path().string());
            }
        }
    }
    ~PrivateFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

} // namespace

int run(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    return guarded(
        [&]() -> int {
            switch (invocation.command) {
            case Command::Save:
                return save(invocation, out);
            case Command::Info:
                return info(invocation, out);
            case Command::Autosave:
                return autosave(invocation, out);
            case Command::Recover:
                return recover(invocation, out);
            case Command::Clean:
                return clean(invocation, out);
            case Command::Salvage:
                return salvage(invocation, out);
            case Command::Demo: {
                if (!invocation.folder.empty()) {
                    return demo(invocation.folder, out, err);
                }
                const PrivateFolder folder;
                return demo(folder.path().string(), out, err);
            }
            }
            throw std::logic_error("unknown command " + std::to_string(static_cast<int>(invocation.command)));
        },
        err);
}

} // namespace zvfile
