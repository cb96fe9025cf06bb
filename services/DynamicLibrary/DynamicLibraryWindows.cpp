#include "DynamicLibrary/DynamicLibrary.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "Common/WindowsText.h"

namespace Zorvan {
namespace {

std::string utf8(const std::filesystem::path& file) {
    return windows::narrow(file.c_str(), static_cast<int>(file.native().size()));
}

// The file of `module` (null: the program), however long its name.
std::filesystem::path moduleFile(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            throw std::runtime_error("cannot find a loaded module's file: " + windows::systemMessage(::GetLastError()));
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        buffer.resize(buffer.size() * 2); // cut short: try again with more room
    }
}

} // namespace

DynamicLibrary DynamicLibrary::open(const std::filesystem::path& file) {
    // An absolute name: LoadLibrary would look for a bare one along the DLL
    // search path, which is not the file the caller named.
    std::filesystem::path absolute = std::filesystem::absolute(file);
    // With an absolute name, LOAD_WITH_ALTERED_SEARCH_PATH looks for the
    // DLLs it links in its own folder first, as for a program.
    const HMODULE module = ::LoadLibraryExW(absolute.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        throw std::runtime_error(utf8(absolute) + ": " + windows::systemMessage(::GetLastError()));
    }
    return DynamicLibrary(module, std::move(absolute));
}

DynamicLibrary::Address DynamicLibrary::address(const char* name) const {
    const FARPROC found = ::GetProcAddress(static_cast<HMODULE>(m_handle), name);
    if (found == nullptr) {
        throw std::runtime_error(utf8(m_file) + ": no symbol " + name + ": " +
                                 windows::systemMessage(::GetLastError()));
    }
    return reinterpret_cast<Address>(found);
}

void DynamicLibrary::close() noexcept {
    if (m_handle != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(m_handle));
        m_handle = nullptr;
    }
}

std::filesystem::path DynamicLibrary::programFile() { return moduleFile(nullptr); }

std::filesystem::path DynamicLibrary::fileHoldingAddress(Address address) {
    HMODULE module = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(address), &module) == 0) {
        throw std::runtime_error("no loaded library holds the function asked for: " +
                                 windows::systemMessage(::GetLastError()));
    }
    return moduleFile(module);
}

} // namespace Zorvan
