#include "DynamicLibrary/DynamicLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace Zorvan {
namespace {

// "<file>: <reason>", the reason from dlerror() or `fallback` when it has
// none. dlerror()'s text mostly starts with the file already
// ("/x/a.so: cannot open shared object file: ..."), but not when the
// reason is a library that file links: the file is named once, in front,
// either way.
std::runtime_error failure(const std::filesystem::path& file, std::string_view fallback) {
    const char* error = ::dlerror();
    std::string_view reason = error != nullptr ? error : fallback;
    const std::string prefix = file.string() + ": ";
    if (reason.starts_with(prefix)) {
        reason.remove_prefix(prefix.size());
    }
    return std::runtime_error(prefix + std::string(reason));
}

// The current folder when this code was loaded: for a program, the folder
// it was started in, against which the relative name it may have been
// started by ("./zvfile", "bin/zvfile") is taken, whichever folder it is in
// later. Empty when the system could not tell.
const std::filesystem::path& startFolder() {
    static const std::filesystem::path folder = [] {
        std::error_code error;
        return std::filesystem::current_path(error);
    }();
    return folder;
}
// Taken as the code is loaded, before the program can change its folder.
[[maybe_unused]] const bool g_startFolderTaken = !startFolder().empty();

} // namespace

DynamicLibrary DynamicLibrary::open(const std::filesystem::path& file) {
    // An absolute name: dlopen would look for a bare one along the library
    // search path, which is not the file the caller named.
    std::filesystem::path absolute = std::filesystem::absolute(file);
    // RTLD_LOCAL: its symbols do not stand in for those of libraries loaded
    // later.
    void* handle = ::dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw failure(absolute, "cannot be loaded");
    }
    return DynamicLibrary(handle, std::move(absolute));
}

DynamicLibrary::Address DynamicLibrary::address(const char* name) const {
    ::dlerror(); // forget an earlier error: the one read below is this call's
    void* found = ::dlsym(m_handle, name);
    if (found == nullptr) {
        throw failure(m_file, std::string("no symbol ") + name);
    }
    return reinterpret_cast<Address>(found);
}

void DynamicLibrary::close() noexcept {
    if (m_handle != nullptr) {
        ::dlclose(m_handle);
        m_handle = nullptr;
    }
}

std::filesystem::path DynamicLibrary::programFile() {
    // The name the program was started by, as the system handed it to the
    // program (not argv[0], which the caller chooses), taken from the folder
    // it was started in, with every link resolved: a program started through
    // /usr/bin/zvfile -> /opt/zorvan/bin/zvfile is the one in /opt. Neither
    // needs /proc, which a chroot or a container may lack.
    const char* started = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
    if (started == nullptr || *started == '\0') {
        throw std::runtime_error("cannot find the program's own file: the system did not say how it was started");
    }
    const std::filesystem::path file = startFolder() / started; // an absolute name stays as it is
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(file, error);
    if (error) {
        throw std::runtime_error("cannot find the program's own file: " + file.string() + ": " + error.message());
    }
    return resolved;
}

std::filesystem::path DynamicLibrary::fileHoldingAddress(Address address) {
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(address), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr) {
        throw std::runtime_error("no loaded library holds the function asked for");
    }
    // The program's own entry has no name; dladdr would give argv[0].
    if (map->l_name == nullptr || map->l_name[0] == '\0') {
        return programFile();
    }
    return std::filesystem::absolute(map->l_name);
}

} // namespace Zorvan
