#include "Demo.h"

#include <filesystem>
#include <fstream>

#include "Commands.h"
#include "Logging/Logging.h"
#include "Serialization/SqliteDesignStore.h"
#include "Translation/Substitute.h"

namespace zvfile {
namespace {

namespace fs = std::filesystem;

// Shows the library's log lines in the story, where they happen.
class StorySink : public Zorvan::LogSink {
public:
    explicit StorySink(std::ostream& out) : m_out(out) {}
    void write(const Zorvan::LogRecord& record) override {
        m_out << "  log " << Zorvan::toString(record.level) << ": " << record.message << "\n";
    }

private:
    std::ostream& m_out;
};

class Story {
public:
    Story(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

    // Runs one step; `expected` is the exit code the step should end with.
    template <class Command>
    void step(const std::string& title, int expected, Command&& command) {
        m_out << "\n== " << ++m_count << ". " << title << "\n";
        m_out.flush();
        const int code = guarded(std::forward<Command>(command), m_out);
        if (code != expected) {
            m_err << "zvfile: "
                  << Zorvan::substitute(translate("zvfile", "demo: step %1 ended with %2, expected %3"),
                                        {std::to_string(m_count), std::to_string(code), std::to_string(expected)})
                  << "\n";
            m_failed = true;
        }
    }
    std::ostream& out() { return m_out; }
    bool failed() const { return m_failed; }

private:
    std::ostream& m_out;
    std::ostream& m_err;
    int m_count = 0;
    bool m_failed = false;
};

// Zeroes the page in the middle of `file`, as a failing disk or an
// interrupted copy leaves one.
void zeroMiddlePage(const std::string& file) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char size[2] = {};
    stream.seekg(16);
    stream.read(reinterpret_cast<char*>(size), 2);
    const std::streamoff pageSize = size[0] == 0 && size[1] == 1 ? 65536 : (size[0] << 8 | size[1]);
    const std::streamoff pages = static_cast<std::streamoff>(fs::file_size(file)) / pageSize;
    stream.seekp(pages / 2 * pageSize);
    const std::string zeros(static_cast<std::size_t>(pageSize), '\0');
    stream.write(zeros.data(), pageSize);
}

} // namespace

int demo(const std::string& folder, std::ostream& out, std::ostream& err) {
    fs::create_directories(folder);
    // The story writes these and what a save puts beside them: a folder that
    // holds one of them already holds someone's file.
    for (const char* leaf : {"pump.zvd", "pump.tmp.zvd", "pump.bak.zvd", "future.zvd", "notes.zvd", "damaged.zvd",
                             "damaged.salvaged.zvd", "damaged.salvaged.tmp.zvd"}) {
        if (std::error_code error; fs::exists(fs::symlink_status(fs::path(folder) / leaf, error))) {
            throw Refusal(Zorvan::substitute(
                translate("zvfile", "demo: '%1' already holds %2; give it an empty or new folder"), {folder, leaf}));
        }
    }
    const std::string design = (fs::path(folder) / "pump.zvd").string();
    Story story(out, err);
    const Zorvan::ScopedLogSink logToStory(std::make_shared<StorySink>(out));
    auto saveWith = [&](SaveMode mode, std::int64_t objects, std::vector<std::string> select,
                        const std::string& revision, std::int32_t number) {
        return [=, &out] {
            return save({.file = design, .mode = mode, .objects = objects, .select = select, .dataRevision = revision,
                         .dataRevisionNumber = number, .progress = false},
                        out);
        };
    };
    const Invocation onDesign{.file = design};

    story.step(translate("zvfile", "Create a design of 1000 objects"), kDone,
               saveWith(SaveMode::Overwrite, 1000, {}, "initial", 1));
    story.step(translate("zvfile", "Rewrite it completely (through a temporary file)"), kDone,
               saveWith(SaveMode::Overwrite, 1200, {}, "redesign", 2));
    story.step(translate("zvfile", "Update only the valves in place"), kDone,
               saveWith(SaveMode::UpdateSelected, -1, {"valves"}, "valve fix", 3));
    story.step(translate("zvfile", "Reopen it"), kDone, [&] { return info(onDesign, out); });
    story.step(translate("zvfile", "Make an autosave copy"), kDone, [&] { return autosave(onDesign, out); });
    story.step(translate("zvfile", "Delete the autosave copy"), kDone, [&] { return clean(onDesign, out); });

    story.step(translate("zvfile", "Try to save over a read-only file"), kRefused, [&] {
        const fs::perms before = fs::status(design).permissions();
        fs::permissions(design, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        struct Restore {
            std::string file;
            fs::perms perms;
            ~Restore() { fs::permissions(file, perms); }
        } restore{design, before};
        return saveWith(SaveMode::Overwrite, 10, {}, "blocked", 4)();
    });

    const std::string future = (fs::path(folder) / "future.zvd").string();
    story.step(translate("zvfile", "Open a file written by a newer version"), kRefused, [&] {
        fs::remove(future);
        // What a later release would write: a format version beyond this one's.
        const auto store =
            Zorvan::SqliteDesignStore::openForWriting(future, Zorvan::SqliteDesignStore::kCurrentVersion + 1);
        store->commit();
        return info({.file = future}, out);
    });

    const std::string notes = (fs::path(folder) / "notes.zvd").string();
    story.step(translate("zvfile", "Open a file that is not a design"), kRefused, [&] {
        std::ofstream(notes) << "Shopping list: flanges, gaskets, bolts.\n";
        return info({.file = notes}, out);
    });

    const std::string damaged = (fs::path(folder) / "damaged.zvd").string();
    story.step(translate("zvfile", "Damage a copy of the design (a page zeroed) and open it"), kRefused, [&] {
        fs::copy_file(design, damaged);
        zeroMiddlePage(damaged);
        return info({.file = damaged}, out);
    });
    story.step(translate("zvfile", "Salvage what can still be read of it into a new design"), kDone,
               [&] { return salvage({.command = Command::Salvage, .file = damaged, .progress = false}, out); });
    story.step(translate("zvfile", "Open the salvaged design"), kDone,
               [&] { return info({.file = (fs::path(folder) / "damaged.salvaged.zvd").string()}, out); });

    out << "\n"
        << (story.failed() ? translate("zvfile", "The demo did not go as planned.")
                           : translate("zvfile", "Every step went as planned."))
        << "\n";
    return story.failed() ? kRefused : kDone;
}

} // namespace zvfile
