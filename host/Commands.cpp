#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/NewFile.h"
#include "FileLock/FileLock.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "SampleDesign.h"
#include "Serialization/SqliteDesignStore.h"

namespace zvfile {
namespace {

using Zorvan::FileLock;
using Zorvan::FileName;
using Zorvan::FileUtilities;
using Zorvan::NewFile;
using Zorvan::SqliteDesignStore;
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
void checkpoint(const char* step) {
    StepHook hook;
    {
        const std::lock_guard<std::mutex> lock(stepHookMutex());
        hook = stepHook();
    }
    if (hook) {
        hook(step);
    }
    const char* pauseAt = std::getenv("ZVFILE_PAUSE_AT");
    if (pauseAt != nullptr && std::string_view(pauseAt) == step) {
        std::cerr << "paused at " << step << std::endl;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
}

// The longest suffix the save road adds to a design's leaf name:
// "part.zvd-journal" for an update in place, "part.bak.tmp.zvd" for the
// temporary autosave copy.
constexpr std::size_t kLongestSuffix = 8;

// The file a save of `file` writes: the file itself, or the file a link at
// that name finally points to (the link stays). Refuses, before anything is
// written, a link to nothing, anything but a regular file, and a name too
// long for the files the save puts beside it.
std::string saveTarget(const std::string& file) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::string target = file;
    if (fs::is_symlink(file, error)) {
        const fs::path resolved = fs::canonical(file, error);
        if (error) {
            throw Refusal("cannot save " + quoted(file) + ": it is a symbolic link to a file that does not exist.");
        }
        target = resolved.string();
    }
    const fs::file_status status = fs::status(target, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        throw Refusal("cannot save " + quoted(file) + ": it is not a regular file.");
    }
    const std::size_t limit = Zorvan::maxLeafNameLength(target);
    if (FileName(target).getLeafName().size() + kLongestSuffix > limit) {
        throw Refusal("cannot save " + quoted(file) + ": its name is too long; this folder takes names of up to " +
                      std::to_string(limit) + " bytes, and a design's name may have at most " +
                      std::to_string(limit - kLongestSuffix) + " to leave room for its temporary files.");
    }
    return target;
}

// Takes the design's one-writer lock, waiting up to `wait` for another
// save with a note on standard error. `create`: a first save locks the
// name it is about to fill.
FileLock lockDesign(const std::string& file, const std::string& target, bool create,
                    std::chrono::milliseconds wait) {
    FileLock::Options options;
    options.create = create;
    options.wait = wait;
    options.onWait = [&] {
        std::cerr << "zvfile: " << quoted(file) << " is being saved by another program; waiting up to "
                  << std::chrono::duration_cast<std::chrono::seconds>(wait).count() << " s for it to finish"
                  << std::endl;
    };
    try {
        FileLock lock = FileLock::acquire(target, options);
        checkpoint("locked");
        return lock;
    } catch (const Zorvan::FileBusyException&) {
        throw Refusal("cannot save " + quoted(file) + ": another program is saving it; try again when it is done.");
    } catch (const Zorvan::FileNameException& e) {
        throw Refusal("cannot save " + quoted(file) + ": " + e.what());
    }
}

// What the host learns when it opens a design.
struct OpenedDesign {
    std::shared_ptr<SqliteDesignStore> store;
    // Nothing committed yet: a first save that did not finish.
    bool empty = false;
    bool readable = false;
    bool current = false;
    std::int32_t version = -1;
    std::string createdRevision;
    std::string lastSavedRevision;
};

// Opens `file` the way every host does: bind a handle, check the version,
// log the version line. Refuses a file that is not a design, and (unless
// `emptyIsNew`) one that holds nothing yet.
OpenedDesign open(const std::string& file, bool emptyIsNew = false) {
    OpenedDesign opened;
    try {
        opened.store = SqliteDesignStore::openForReading(file);
    } catch (const Zorvan::DesignStoreBusyException&) {
        throw Refusal("cannot open " + quoted(file) + ": another program is writing it; try again when it is done.");
    } catch (const Zorvan::DesignStoreException& e) {
        std::error_code error;
        throw Refusal("cannot open " + quoted(file) + ": " +
                      (std::filesystem::exists(file, error) ? std::string(e.what()) + "."
                                                            : std::string("it does not exist.")));
    }
    if (opened.store->isEmpty()) {
        if (!emptyIsNew) {
            throw Refusal("cannot open " + quoted(file) + ": it holds no design yet (its first save did not finish).");
        }
        opened.empty = true;
        return opened;
    }
    const ZvFileIO io;
    try {
        opened.readable = io.verifyZVVersion(opened.store, nullptr);
        opened.current = opened.readable && io.isCurrentZVVersion(opened.store);
    } catch (const Zorvan::FileOpenException& e) {
        throw Refusal("cannot open " + quoted(file) + ": " + e.what());
    }
    opened.store->readFileVersion(opened.version);
    opened.store->readCreatedRevision(opened.createdRevision);
    opened.store->readLastSavedRevision(opened.lastSavedRevision);
    return opened;
}

void refuseNewer(const std::string& file, const OpenedDesign& opened) {
    if (!opened.readable) {
        throw Refusal(quoted(file) + " was written by a newer version of the software (file version " +
                      std::to_string(opened.version) + ", this one reads up to " +
                      std::to_string(SqliteDesignStore::kCurrentVersion) + "); it is left untouched.");
    }
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
    const std::string target = saveTarget(file);
    const ZvFileWriteMode mode = options.mode;
    std::string reason;
    if (!ZvFileIO::checkSavePossible(target, mode, &reason)) {
        throw Refusal("cannot save " + quoted(file) + ": " + reason);
    }
    if (mode != ZvFileWriteMode::Overwrite && !FileUtilities::exists(target, false)) {
        throw Refusal("cannot update " + quoted(file) + " in place: it does not exist.");
    }
    // Held to the end, after every store handle on the design is closed.
    const FileLock lock = lockDesign(file, target, mode == ZvFileWriteMode::Overwrite, options.lockWait);

    std::vector<Zorvan::SerializationTransferObject> existing;
    std::string createdRevision;
    bool isNew = true;
    if (!lock.createdFile()) {
        OpenedDesign opened = open(target, /*emptyIsNew=*/true);
        if (!opened.empty) {
            refuseNewer(file, opened);
            ZvFileIO::logFileVersionInfo(target, opened.store);
            ZvFileIO::readMaxIdentifierValue(opened.store);
            // A rewrite keeps the revision the file was created with.
            createdRevision = opened.createdRevision;
            existing = opened.store->readAllObjects();
            isNew = false;
        } else if (mode != ZvFileWriteMode::Overwrite) {
            throw Refusal("cannot update " + quoted(file) + " in place: it holds no design yet.");
        }
    }
    const std::int64_t count =
        options.objects >= 0 ? options.objects : (isNew ? 100 : static_cast<std::int64_t>(existing.size()));
    const SampleDesign design = makeDesign(existing, count, options.dataRevision);

    // A rewrite goes through a temporary file; so does a first save, whose
    // name the lock holds with an empty file until the new one replaces it.
    const FileName written = ZvFileIO::prepareFileName(target, mode);
    std::optional<NewFile> temporary;
    if (written != FileName(target)) {
        temporary.emplace(NewFile::create(written, target));
        if (!lock.createdFile()) {
            out << "writing through " << quoted(written.toNativeString()) << "\n";
        }
    }
    checkpoint("prepared");
    std::string revision;
    {
        const auto store = temporary ? SqliteDesignStore::openForReplacement(written.toNativeString())
                                     : SqliteDesignStore::openForWriting(written.toNativeString());
        ZvFileIO io;
        ProgressLine progress(file, design.size(), options.progress);
        std::int64_t done = 0;
        for (std::size_t part = 0; part < kParts.size(); ++part) {
            const bool selected = std::find(options.select.begin(), options.select.end(), kParts[part]) !=
                                  options.select.end();
            Zorvan::DesignIOModule module(store, mode, selected);
            if (mode == ZvFileWriteMode::Overwrite) {
                io.createGroup(store);
            }
            for (Zorvan::SerializationTransferObject object : design.parts[part]) {
                module.save(object);
                progress.advance(++done);
                if (done == design.size() / 2) {
                    checkpoint("writing");
                }
            }
        }
        revision =
            ZvFileIO::writeMetaData(store, options.dataRevision, options.dataRevisionNumber, mode, createdRevision);
        store->commit();
    }
    checkpoint("committed");
    if (temporary && !temporary->unchanged()) {
        throw Refusal("cannot save " + quoted(file) + ": another program replaced its temporary file " +
                      quoted(written.toNativeString()) + "; the design is left as it was.");
    }
    // The lock keeps every save of ours out; a program that updates designs
    // without it may still be in the middle of one.
    if (temporary && FileUtilities::exists(SqliteDesignStore::journalPath(target), false)) {
        throw Refusal("cannot save " + quoted(file) + ": another program is updating it in place; the design is left as it was.");
    }
    if (!ZvFileIO::restoreFileName(target, written, mode)) {
        if (temporary) {
            temporary->release();
        }
        throw Refusal("cannot put the new version of " + quoted(file) + " in place; it is kept in " +
                      quoted(written.toNativeString()) + ".");
    }
    out << "saved " << design.size() << " objects to " << quoted(file) << " (software revision " << revision
        << ")\n";
    return kDone;
}

int info(const std::string& file, bool json, std::ostream& out) {
    const OpenedDesign opened = open(file);
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
    refuseNewer(file, opened);
    return kDone;
}

int autosave(const std::string& file, std::ostream& out, std::chrono::milliseconds lockWait) {
    const std::string target = saveTarget(file);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    // The copy is written whole under a temporary name and then replaces
    // the previous copy, so a good copy is never lost to one cut short.
    FileName temporary = copy;
    temporary.replaceExtension(".tmp" + copy.getExtension());
    const FileLock lock = lockDesign(file, target, /*create=*/false, lockWait);
    const OpenedDesign opened = open(target);
    refuseNewer(file, opened);
    std::error_code error;
    if (std::filesystem::is_symlink(copy.toNativeString(), error)) {
        throw Refusal("cannot write the autosave copy of " + quoted(file) + ": " + quoted(copy.toNativeString()) +
                      " is a symbolic link.");
    }
    if (FileUtilities::exists(temporary, false)) {
        FileUtilities::remove(temporary); // left by an autosave that did not finish
    }
    NewFile written = NewFile::create(temporary, target);
    opened.store->copyTo(temporary.toNativeString());
    checkpoint("copied");
    if (!written.unchanged() || !FileUtilities::replaceFile(temporary, copy)) {
        throw Refusal("cannot put the autosave copy of " + quoted(file) + " in place; the previous copy is kept.");
    }
    out << copy.toNativeString() << "\n";
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
