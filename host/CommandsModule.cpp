// The commands module: what the zvfile program loads once its command line
// asks for a command, and the one function it calls there.

#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "Commands.h"
#include "FileHandling/FileSizeLimit.h"
#include "Logging/Logging.h"
#include "ZvfileCommandsExport.h"
#ifdef ZV_MESSAGE_DOMAIN
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DynamicLibrary/DynamicLibrary.h"
#include "Translation/GettextCatalogue.h"
#include "Translation/Languages.h"
#include "Translation/Translator.h"
#endif

namespace zvfile {
namespace {

#ifdef ZV_MESSAGE_DOMAIN
// The compiled catalogues: beside an installed module where the package
// puts them (share/locale), else those of the build tree it was built in.
std::filesystem::path localeFolder() {
    const auto installed =
        (Zorvan::DynamicLibrary::fileHolding(&zvfile::run).parent_path() / ZV_INSTALLED_LOCALE_DIR).lexically_normal();
    std::error_code error;
    return std::filesystem::is_directory(installed, error) ? installed : std::filesystem::path(ZV_LOCALE_DIR);
}

// The library's messages in the user's language for the length of a run.
// The texts are English, so English (or no language at all) needs no
// catalogue; only another language loads the gettext catalogue's library,
// and with it Boost.Locale and ICU, which a run in English never maps.
class UserLanguage {
public:
    explicit UserLanguage(std::ostream& err) {
        const std::vector<std::string> languages = Zorvan::languagesFromEnvironment();
        if (languages.empty()) {
            return;
        }
        try {
            // The catalogue's library is installed beside the translation
            // service (both in lib/, or in services/Translation/ of the
            // build tree), so it is taken from where that one was loaded.
            const auto folder = Zorvan::DynamicLibrary::fileHolding(&Zorvan::Translator::setCatalogue).parent_path();
            auto library = Zorvan::DynamicLibrary::open(folder / ZV_GETTEXT_LIBRARY);
            auto* newCatalogue = library.symbol<Zorvan::GettextCatalogueFactory>(Zorvan::kGettextCatalogueFactory);
            std::shared_ptr<const Zorvan::Catalogue> catalogue(
                newCatalogue(ZV_MESSAGE_DOMAIN, localeFolder().string(), languages));
            m_library = std::move(library);
            m_previous = Zorvan::Translator::setCatalogue(std::move(catalogue));
        } catch (const std::exception& e) {
            err << "zvfile: messages stay in English: " << e.what() << "\n";
        }
    }
    ~UserLanguage() {
        if (m_library) {
            // The catalogue's code lives in the library: it goes first.
            Zorvan::Translator::setCatalogue(std::move(m_previous));
        }
    }
    UserLanguage(const UserLanguage&) = delete;
    UserLanguage& operator=(const UserLanguage&) = delete;

private:
    std::optional<Zorvan::DynamicLibrary> m_library; // declared first, so closed last
    std::shared_ptr<const Zorvan::Catalogue> m_previous;
};
#endif

// Installs the user's language once, for every entry point; it stays
// until the module is unloaded.
void useUserLanguage() {
#ifdef ZV_MESSAGE_DOMAIN
    static const UserLanguage language(std::cerr);
#endif
}

// The library's log lines as a command-line tool shows them when asked:
// "zvfile: error: <message>", with the source location at verbosity 2.
class TerseSink final : public Zorvan::LogSink {
public:
    explicit TerseSink(int verbosity) : m_verbosity(verbosity) {}
    void write(const Zorvan::LogRecord& record) override {
        std::string line = "zvfile: " + std::string(record.level == Zorvan::LogLevel::Error ? "error" : "info") +
                           ": " + record.message;
        if (m_verbosity > 1) {
            line += " (" + record.file + ":" + std::to_string(record.line) + ")";
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::cerr << line << "\n";
    }

private:
    int m_verbosity;
    std::mutex m_mutex;
};

// Quiet unless asked: without -v the log lines go nowhere.
class DiscardSink final : public Zorvan::LogSink {
public:
    void write(const Zorvan::LogRecord&) override {}
};

} // namespace
} // namespace zvfile

#ifndef ZVFILE_STOPPABLE
// The installed module does nothing at the steps of a save.
void zvfile::stepReached(std::string_view) {}
#endif

extern "C" ZVFILE_COMMANDS_EXPORT void zvfile_translate(const char* context, const char* sourceText,
                                                         std::string& translated) {
    static_assert(std::is_same_v<decltype(zvfile_translate), zvfile::TranslateEntry>, "the type the program calls");
    zvfile::useUserLanguage();
    translated = zvfile::translate(context, sourceText);
}

extern "C" ZVFILE_COMMANDS_EXPORT int zvfile_run(const zvfile::Invocation& invocation) {
    static_assert(std::is_same_v<decltype(zvfile_run), zvfile::EntryPoint>, "the type the program calls");
    // A file-size limit (ulimit -f) then refuses a save like a full disk
    // does, instead of the system ending the program in the middle of it.
    Zorvan::failWritesPastFileSizeLimit();
    zvfile::useUserLanguage();
    const Zorvan::ScopedLogSink logs(invocation.verbosity > 0
                                         ? std::shared_ptr<Zorvan::LogSink>(std::make_shared<zvfile::TerseSink>(
                                               invocation.verbosity))
                                         : std::make_shared<zvfile::DiscardSink>());
    return zvfile::run(invocation, std::cout, std::cerr);
}
