#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

#include "FileHandling/FileUtilities.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"
#include "Platform/Core/Persistence/ZvFileIO/FileOpenException.h"
#include "SampleDesign.h"
#include "Serialization/SqliteDesignStore.h"

namespace zvfile {
namespace {

using Zorvan::FileName;
using Zorvan::SqliteDesignStore;
using Zorvan::ZvFileIO;
using Zorvan::ZvFileWriteMode;

std::string quoted(const std::string& file) { return "'" + file + "'"; }

// Crash tests stop a save at a named step (ZVFILE_PAUSE_AT=step) and kill
// the process there.
void checkpoint(const char* step) {
    const char* pauseAt = std::getenv("ZVFILE_PAUSE_AT");
    if (pauseAt != nullptr && std::string_view(pauseAt) == step) {
        std::cerr << "paused at " << step << std::endl;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }
}

// What the host learns when it opens a design.
struct OpenedDesign {
    std::shared_ptr<SqliteDesignStore> store;
    bool readable = false;
    bool current = false;
    std::int32_t version = -1;
    std::string createdRevision;
    std::string lastSavedRevision;
};

// Opens `file` the way every host does: bind a handle, check the version,
// log the version line. Refuses a file that is not a design.
OpenedDesign open(const std::string& file) {
    OpenedDesign opened;
    try {
        opened.store = SqliteDesignStore::openForReading(file);
    } catch (const Zorvan::DesignStoreException&) {
        throw Refusal("cannot open " + quoted(file) + ": it does not exist or cannot be read.");
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
    const std::string& target = options.file;
    const ZvFileWriteMode mode = options.mode;
    const bool exists = Zorvan::FileUtilities::exists(target, false);
    std::vector<Zorvan::SerializationTransferObject> existing;
    std::string createdRevision;
    if (exists) {
        OpenedDesign opened = open(target);
        refuseNewer(target, opened);
        ZvFileIO::logFileVersionInfo(target, opened.store);
        ZvFileIO::readMaxIdentifierValue(opened.store);
        // A rewrite keeps the revision the file was created with.
        createdRevision = opened.createdRevision;
        existing = opened.store->readAllObjects();
    } else if (mode != ZvFileWriteMode::Overwrite) {
        throw Refusal("cannot update " + quoted(target) + " in place: it does not exist.");
    }

    std::string reason;
    if (!ZvFileIO::checkSavePossible(target, mode, &reason)) {
        throw Refusal("cannot save " + quoted(target) + ": " + reason);
    }
    const std::int64_t count =
        options.objects >= 0 ? options.objects : (exists ? static_cast<std::int64_t>(existing.size()) : 100);
    const SampleDesign design = makeDesign(existing, count, options.dataRevision);

    const FileName written = ZvFileIO::prepareFileName(target, mode);
    if (written != FileName(target)) {
        out << "writing through " << quoted(written.toNativeString()) << "\n";
    }
    checkpoint("prepared");
    {
        const auto store = SqliteDesignStore::openForWriting(written.toNativeString());
        ZvFileIO io;
        ProgressLine progress(target, design.size(), options.progress);
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
        const std::string revision =
            ZvFileIO::writeMetaData(store, options.dataRevision, options.dataRevisionNumber, mode, createdRevision);
        store->commit();
        out << "saved " << design.size() << " objects to " << quoted(target) << " (software revision " << revision
            << ")\n";
    }
    checkpoint("committed");
    if (!ZvFileIO::restoreFileName(target, written, mode)) {
        throw Refusal("cannot put the new version of " + quoted(target) + " in place; it is kept in " +
                      quoted(written.toNativeString()) + ".");
    }
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

int autosave(const std::string& file, std::ostream& out) {
    const OpenedDesign opened = open(file);
    refuseNewer(file, opened);
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    if (Zorvan::FileUtilities::exists(copy, false)) {
        Zorvan::FileUtilities::remove(copy);
    }
    opened.store->copyTo(copy.toNativeString());
    out << copy.toNativeString() << "\n";
    return kDone;
}

int clean(const std::string& file, std::ostream& out) {
    ZvFileIO io;
    const std::string copy = io.constructAutosaveFileName(file).toNativeString();
    if (io.deleteAssociatedAutosaveFile(file)) {
        out << "deleted " << quoted(copy) << "\n";
    } else {
        out << "no autosave copy of " << quoted(file) << "\n";
    }
    return kDone;
}

} // namespace zvfile
