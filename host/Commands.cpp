#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "FileHandling/FileUtilities.h"
#include "Identifier/Identifier.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "SampleDesign.h"

namespace zvfile {
namespace {

using Zorvan::DesignSave;
using Zorvan::FileName;
using Zorvan::FileUtilities;
using Zorvan::ZvFileIO;
using Zorvan::ZvFileWriteMode;

std::string quoted(const std::string& file) { return "'" + file + "'"; }

std::mutex& stepHookMutex() {
    static std::mutex instance;
    return instance;
}
StepHook& stepHook() {
    static StepHook instance;
    return instance;
}

// Marks a step of the save road: the test hook sees it, and crash tests
// stop the process there (ZVFILE_PAUSE_AT=step) to kill it.
void checkpoint(std::string_view step) {
    StepHook hook;
    {
        const std::lock_guard<std::mutex> lock(stepHookMutex());
        hook = stepHook();
    }
    if (hook) {
        hook(std::string(step));
    }
    const char* pauseAt = std::getenv("ZVFILE_PAUSE_AT");
    if (pauseAt != nullptr && std::string_view(pauseAt) == step) {
        std::cerr << "paused at " << step << std::endl;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
}

// How zvfile runs a save: the step hook at each step, a note on standard
// error when it waits for another program.
Zorvan::DesignSaveOptions saveOptions(const std::string& file, ZvFileWriteMode mode,
                                      std::chrono::milliseconds lockWait) {
    Zorvan::DesignSaveOptions options;
    options.mode = mode;
    options.lockWait = lockWait;
    options.onWait = [file, lockWait] {
        std::cerr << "zvfile: " << quoted(file) << " is being saved by another program; waiting up to "
                  << std::chrono::duration<double>(lockWait).count() << " s for it to finish" << std::endl;
    };
    options.onStep = checkpoint;
    return options;
}

class ProgressLine {
public:
    ProgressLine(const std::string& file, std::int64_t total, bool wanted)
        : m_file(file), m_total(total), m_shown(wanted && total >= 10000 && Zorvan::isStandardErrorTerminal()) {}
    ~ProgressLine() {
        if (m_shown) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }
    void advance(std::int64_t done) {
        if (m_shown && done % 1000 == 0) {
            std::cerr << "\rsaving " << quoted(m_file) << ": " << done * 100 / m_total << "%" << std::flush;
        }
    }

private:
    std::string m_file;
    std::int64_t m_total;
    bool m_shown;
};

} // namespace

int save(const SaveOptions& options, std::ostream& out) {
    const std::string& file = options.file;
    const ZvFileWriteMode mode = options.mode;
    DesignSave saving = DesignSave::begin(file, saveOptions(file, mode, options.lockWait));
    const std::int64_t count =
        options.objects >= 0 ? options.objects : (saving.isNewDesign() ? 100 : saving.objectCount());
    if (!saving.isNewDesign() && saving.writtenFile() != FileName(file)) {
        out << "writing through " << quoted(saving.writtenFile().toNativeString()) << "\n";
    }
    std::vector<Zorvan::DesignIOModule> modules;
    for (const std::string_view part : kParts) {
        modules.push_back(saving.module(std::find(options.select.begin(), options.select.end(), part) !=
                                        options.select.end()));
        if (mode == ZvFileWriteMode::Overwrite) {
            saving.createGroup();
        }
    }
    {
        // Objects go out one at a time in identity order: the design's own
        // objects first (identities kept), then new ones from the identifier
        // service, which come after every identity the design holds.
        ProgressLine progress(file, count, options.progress);
        std::int64_t done = 0;
        const auto saveOne = [&](std::int64_t id, std::size_t part) {
            Zorvan::SerializationTransferObject object = sampleObject(id, part, options.dataRevision);
            modules[part].save(object);
            progress.advance(++done);
            if (done == count / 2) {
                checkpoint("writing");
            }
        };
        saving.forEachObject([&](const Zorvan::SerializationTransferObject& existing) {
            if (done == count) {
                return false;
            }
            const std::size_t part = partIndex(existing.type());
            saveOne(existing.id(), part < kParts.size() ? part : 0);
            return true;
        });
        while (done < count) {
            saveOne(Zorvan::Identifier::create().number, static_cast<std::size_t>(done) % kParts.size());
        }
    }
    modules.clear();
    const Zorvan::SaveResult result = saving.commit(options.dataRevision, options.dataRevisionNumber);
    // Flushed while the design is still held: the order of saves' reports
    // (in one log, say) is the order in which they took effect.
    out << "saved " << count << " objects to " << quoted(file) << " (software revision " << result.revision
        << ")" << std::endl;
    return kDone;
}

int info(const std::string& file, bool json, std::ostream& out) {
    const Zorvan::OpenedDesign opened = Zorvan::openDesign(file);
    const ZvFileIO io;
    // The version line goes to the log as for every opened file; info shows it too.
    const auto captured = std::make_shared<Zorvan::MemorySink>();
    {
        const Zorvan::ScopedLogSink sink(captured);
        ZvFileIO::logFileVersionInfo(file, opened.store);
    }
    const std::string versionLine = captured->records().empty() ? "" : captured->records().front().message;
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    io.getDataRevision(opened.store, dataRevision, dataRevisionNumber);
    std::int64_t idNumber = 0;
    std::int16_t idDomain = 0;
    opened.store->readMaxIdentifier(idNumber, idDomain);
    const std::int64_t objects = opened.readable ? opened.store->objectCount() : 0;

    if (json) {
        const nlohmann::json report = {
            {"file", file},
            {"readable", opened.readable},
            {"current", opened.current},
            {"version", opened.version},
            {"createdRevision", opened.createdRevision},
            {"lastSavedRevision", opened.lastSavedRevision},
            {"dataRevision", dataRevision},
            {"dataRevisionNumber", dataRevisionNumber},
            {"identifier", {{"number", idNumber}, {"domain", idDomain}}},
            {"objects", objects},
        };
        out << report.dump(2) << "\n";
    } else {
        out << file << "\n"
            << "  readable:       " << (opened.readable ? "yes" : "no") << "\n"
            << "  current:        " << (opened.current ? "yes" : "no") << "\n"
            << "  " << versionLine << "\n"
            << "  data revision:  " << dataRevision << " (" << dataRevisionNumber << ")\n"
            << "  identifiers:    next " << idNumber << " in domain " << idDomain << "\n"
            << "  objects:        " << objects << "\n";
    }
    opened.requireReadable(file);
    return kDone;
}

int autosave(const std::string& file, std::ostream& out, std::chrono::milliseconds lockWait) {
    out << Zorvan::writeAutosaveCopy(file, saveOptions(file, ZvFileWriteMode::Overwrite, lockWait)).toNativeString()
        << "\n";
    return kDone;
}

int clean(const std::string& file, std::ostream& out) {
    ZvFileIO io;
    const FileName copy = io.constructAutosaveFileName(file);
    // A failed removal is logged by the file service; its line is the reason.
    const auto log = std::make_shared<Zorvan::MemorySink>();
    bool existed = false;
    {
        const Zorvan::ScopedLogSink capture(log);
        existed = io.deleteAssociatedAutosaveFile(file);
    }
    if (!existed) {
        out << "no autosave copy of " << quoted(file) << "\n";
        return kDone;
    }
    if (FileUtilities::exists(copy, false)) {
        // "Cannot remove 'x': Permission denied": the system's reason is the last part.
        std::string why = "it is still there";
        if (!log->records().empty()) {
            const std::string& line = log->records().back().message;
            why = line.substr(line.rfind(": ") == std::string::npos ? 0 : line.rfind(": ") + 2);
        }
        throw Refusal("cannot delete " + quoted(copy.toNativeString()) + ": " + why);
    }
    out << "deleted " << quoted(copy.toNativeString()) << "\n";
    return kDone;
}

void setStepHook(StepHook hook) {
    const std::lock_guard<std::mutex> lock(stepHookMutex());
    stepHook() = std::move(hook);
}

} // namespace zvfile
