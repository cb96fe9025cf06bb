#pragma once
// DynamicLibrary: a shared library or module loaded while the program runs
// (dlopen, LoadLibrary), for code the program needs only on some runs: a
// program that starts without it does not pay for mapping it and everything
// it links. Closing the object unloads the library (unless something else
// still holds it); nothing made by its code may outlive the object.
//
// Internal to the tree and linked statically, so that loading it costs a
// program nothing at start-up.
//
// Thread-safety: distinct objects may be used on any threads; symbol() may
// be called from several threads at once.

#include <filesystem>
#include <utility>

namespace Zorvan {

class DynamicLibrary {
public:
    // Loads the library at `file` and the libraries it links, resolving all
    // of their symbols now, so that a missing one is reported here and not
    // in the middle of a call. A relative `file` is taken from the current
    // folder, never looked for along the system's search path. The
    // libraries it links are found as when a program links them (its run
    // path, and on Windows its own folder first). Throws std::runtime_error
    // "<file>: <the system's reason>" when it cannot be loaded.
    static DynamicLibrary open(const std::filesystem::path& file);

    ~DynamicLibrary();
    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The function the library exports as `name` (C linkage, so unmangled),
    // taken to be of type `Function`, e.g. symbol<int(const char*)>("entry").
    // The type is the caller's promise: nothing checks it. Throws
    // std::runtime_error naming the file and the symbol when there is none.
    // REQUIRES: the object was not moved from.
    template <class Function>
    Function* symbol(const char* name) const {
        return reinterpret_cast<Function*>(address(name));
    }

    // The file as it was opened, made absolute.
    const std::filesystem::path& file() const { return m_file; }

    // The file of the running program ("/opt/zorvan/bin/zvfile"), every
    // link resolved, for finding what is installed relative to it. Needs no
    // /proc. A program started by a relative name is found from the folder
    // current when this code was loaded: the start folder for the program's
    // own copy, the folder of the moment for a module's. Throws
    // std::runtime_error when the system cannot tell.
    static std::filesystem::path programFile();

    // The file of the library or program that holds `function`, by the name
    // it was loaded under ("/opt/zorvan/lib/libServices_Translation.so.1"
    // for &Translator::translate; found through a run path $ORIGIN/.. it
    // may be "/opt/zorvan/lib/zvfile/../libServices_Translation.so.1").
    // Throws std::runtime_error when no loaded file holds it.
    template <class Function>
    static std::filesystem::path fileHolding(Function* function) {
        return fileHoldingAddress(reinterpret_cast<Address>(function));
    }

private:
    // Any function pointer converts to and from this one without a
    // compiler's complaint about incompatible function types.
    using Address = void (*)();

    DynamicLibrary(void* handle, std::filesystem::path file) : m_handle(handle), m_file(std::move(file)) {}
    Address address(const char* name) const;
    static std::filesystem::path fileHoldingAddress(Address address);
    void close() noexcept;

    void* m_handle;
    std::filesystem::path m_file;
};

} // namespace Zorvan
