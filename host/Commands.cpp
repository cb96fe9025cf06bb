#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "Identifier/Identifier.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "SampleDesign.h"
#include "Translation/Substitute.h"

namespace zvfile {
namespace {

using Zorvan::DesignSave;
using Zorvan::FileName;
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

// Marks a step of the save road for the test hook, if one is installed.
void checkpoint(std::string_view step) {
    StepHook hook;
    {
        const std::lock_guard<std::mutex> lock(stepHookMutex());
        hook = stepHook();
    }
    if (hook) {
        hook(std::string(step));
    }
}

// The note on standard error when a command waits for another program
// that holds the design's one-writer lock.
std::function<void()> waitNote(const std::string& file, std::chrono::milliseconds lockWait) {
    return [file, lockWait] {
        std::ostringstream seconds;
        seconds << std::chrono::duration<double>(lockWait).count();
        std::cerr << "zvfile: "
                  << Zorvan::substitute(
                         translate("zvfile",
                                   "%1 is being saved by another program; waiting up to %2 s for it to finish"),
                         {quoted(file), seconds.str()})
                  << std::endl;
    };
}

// How zvfile runs a save: the step hook at each step, a note on standard
// error when it waits for another program.
Zorvan::DesignSaveOptions saveOptions(const std::string& file, ZvFileWriteMode mode,
                                      std::chrono::milliseconds lockWait) {
    Zorvan::DesignSaveOptions options;
    options.mode = mode;
    options.lockWait = lockWait;
    options.onWait = waitNote(file, lockWait);
    options.onStep = checkpoint;
    return options;
}

// A line on standard error that shows how far a long save is, rewritten in
// place; only on a terminal, and gone before the save's result is printed.
class ProgressLine {
public:
    ProgressLine(const std::string& file, std::int64_t total, bool wanted)
        : m_text(translate("zvfile", "saving %1: %2%")),
          m_file(quoted(file)),
          m_total(total),
          m_shown(wanted && total >= 10000 && Zorvan::isStandardErrorTerminal()) {}
    ~ProgressLine() {
        if (m_shown) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }
    void advance(std::int64_t done) {
        if (m_shown && done % 1000 == 0) {
            std::cerr << "\r" << Zorvan::substitute(m_text, {m_file, std::to_string(done * 100 / m_total)})
                      << std::flush;
        }
    }

private:
    std::string m_text;
    std::string m_file;
    std::int64_t m_total;
    bool m_shown;
};

// The identity of a new object of `file`; a refusal naming the file when
// the identifier service has none left in the design's domain.
std::int64_t newIdentity(const std::string& file) {
    try {
        return Zorvan::Identifier::create().number;
    } catch (const std::overflow_error&) {
        throw Refusal(Zorvan::substitute(translate("zvfile", "cannot save %1: the identities for new objects are "
                                                             "used up; the design is left as it was."),
                                         {quoted(file)}));
    }
}

int saveDesign(const SaveOptions& options, std::ostream& out) {
    const std::string& file = options.file;
    const ZvFileWriteMode mode = options.mode;
    DesignSave saving = DesignSave::begin(file, saveOptions(file, mode, options.lockWait));
    const std::int64_t count =
        options.objects >= 0 ? options.objects : (saving.isNewDesign() ? 100 : saving.objectCount());
    if (!saving.isNewDesign() && saving.writtenFile() != FileName(file)) {
        out << Zorvan::substitute(translate("zvfile", "writing through %1"),
                                  {quoted(saving.writtenFile().toNativeString())})
            << "\n";
    }
    std::vector<Zorvan::DesignIOModule> modules;
    // The objects this save wrote: an update of selected parts leaves the others.
    std::int64_t written = 0;
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
            written += modules[part].doAction() ? 1 : 0;
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
            saveOne(newIdentity(file), static_cast<std::size_t>(done) % kParts.size());
        }
    }
    modules.clear();
    const Zorvan::SaveResult result = saving.commit(options.dataRevision, options.dataRevisionNumber);
    out << Zorvan::substitute(translate("zvfile", "saved %1 objects to %2 (software revision %3)"),
                              {std::to_string(written), quoted(file), result.revision})
        << "\n";
    // Said while the design is still this save's: whoever reads the line
    // knows that no later save of the design has taken effect before it.
    out.flush();
    return kDone;
}

} // namespace

int save(const SaveOptions& options, std::ostream& out) {
    try {
        return saveDesign(options, out);
    } catch (const Zorvan::DesignRefusedException&) {
        throw; // names the design already
    } catch (const Refusal&) {
        throw;
    } catch (const std::exception& e) {
        // A failure below the save road (a write past the file-size limit,
        // the store) names the file it was writing, maybe a temporary one:
        // the user learns which of their designs could not be saved.
        throw Refusal(Zorvan::substitute(translate("zvfile", "cannot save %1: %2"),
                                         {quoted(options.file), std::string(e.what()) + "."}));
    }
}

namespace {

// The name of a refusal's reason in `info --json`.
const char* reasonName(Zorvan::DesignRefusal reason) {
    using Zorvan::DesignRefusal;
    switch (reason) {
    case DesignRefusal::NoName:
        return "no-name";
    case DesignRefusal::ReadOnly:
        return "read-only";
    case DesignRefusal::NotRegularFile:
        return "not-a-regular-file";
    case DesignRefusal::NameTooLong:
        return "name-too-long";
    case DesignRefusal::Missing:
        return "missing";
    case DesignRefusal::NoDesignYet:
        return "no-design-yet";
    case DesignRefusal::NotADesign:
        return "not-a-design";
    case DesignRefusal::Newer:
        return "newer";
    case DesignRefusal::Busy:
        return "busy";
    case DesignRefusal::Interfered:
        return "interfered";
    case DesignRefusal::ForeignFile:
        return "foreign-file";
    case DesignRefusal::Failed:
        break;
    }
    return "failed";
}

// What `info` shows of an opened design, read under its one read lock.
struct Facts {
    std::string versionLine;
    std::string dataRevision;
    std::int32_t dataRevisionNumber = 0;
    std::int64_t idNumber = 0;
    std::int16_t idDomain = 0;
    std::int64_t objects = 0;
};

Facts factsOf(const std::string& file, const Zorvan::OpenedDesign& opened) {
    Facts facts;
    // The version line goes to the log as for every opened file; info shows it too.
    const auto captured = std::make_shared<Zorvan::MemorySink>();
    {
        const Zorvan::ScopedLogSink sink(captured);
        ZvFileIO::logFileVersionInfo(file, opened.store);
    }
    if (const std::vector<Zorvan::LogRecord> records = captured->records(); !records.empty()) {
        facts.versionLine = records.front().message;
    }
    ZvFileIO().getDataRevision(opened.store, facts.dataRevision, facts.dataRevisionNumber);
    opened.store->readMaxIdentifier(facts.idNumber, facts.idDomain);
    facts.objects = opened.readable ? opened.store->objectCount() : 0;
    return facts;
}

// info --json: one JSON object for every outcome (its members are in the
// README and host/info.schema.json). Bytes of a file name that are not
// UTF-8 are replaced, so the output is always valid JSON.
int infoJson(const std::string& file, std::ostream& out) {
    nlohmann::json report = {{"schema", kInfoSchema}, {"file", file}};
    int code = kDone;
    try {
        const Zorvan::OpenedDesign opened = Zorvan::openDesign(file);
        const Facts facts = factsOf(file, opened);
        report.update({
            {"readable", opened.readable},
            {"current", opened.current},
            {"version", opened.version},
            {"createdRevision", opened.createdRevision},
            {"lastSavedRevision", opened.lastSavedRevision},
            {"dataRevision", facts.dataRevision},
            {"dataRevisionNumber", facts.dataRevisionNumber},
            {"identifier", {{"number", facts.idNumber}, {"domain", facts.idDomain}}},
            {"objects", facts.objects},
        });
        opened.requireReadable(file);
    } catch (const Zorvan::DesignRefusedException& e) {
        report["error"] = {{"reason", reasonName(e.reason())}, {"message", e.what()}};
        code = kRefused;
    } catch (const std::exception& e) {
        report["error"] = {{"reason", reasonName(Zorvan::DesignRefusal::Failed)}, {"message", e.what()}};
        code = kRefused;
    }
    out << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return code;
}

} // namespace

int info(const std::string& file, bool json, std::ostream& out) {
    if (json) {
        return infoJson(file, out);
    }
    const Zorvan::OpenedDesign opened = Zorvan::openDesign(file);
    opened.requireReadable(file);
    const Facts facts = factsOf(file, opened);
    const auto yesNo = [](bool value) { return value ? translate("zvfile", "yes") : translate("zvfile", "no"); };
    using Zorvan::substitute;
    out << file << "\n"
        << "  " << substitute(translate("zvfile", "readable:       %1"), {yesNo(opened.readable)}) << "\n"
        << "  " << substitute(translate("zvfile", "current:        %1"), {yesNo(opened.current)}) << "\n"
        << "  " << facts.versionLine << "\n"
        << "  "
        << substitute(translate("zvfile", "data revision:  %1 (%2)"),
                      {facts.dataRevision, std::to_string(facts.dataRevisionNumber)})
        << "\n"
        << "  "
        << substitute(translate("zvfile", "identifiers:    next %1 in domain %2"),
                      {std::to_string(facts.idNumber), std::to_string(facts.idDomain)})
        << "\n"
        << "  " << substitute(translate("zvfile", "objects:        %1"), {std::to_string(facts.objects)}) << "\n";
    return kDone;
}

int autosave(const std::string& file, std::ostream& out, std::chrono::milliseconds lockWait) {
    out << Zorvan::writeAutosaveCopy(file, saveOptions(file, ZvFileWriteMode::Overwrite, lockWait)).toNativeString()
        << "\n";
    return kDone;
}

int clean(const std::string& file, std::ostream& out, std::chrono::milliseconds lockWait) {
    Zorvan::DesignSaveOptions options;
    options.lockWait = lockWait;
    options.onWait = waitNote(file, lockWait);
    if (!Zorvan::removeAutosaveCopy(file, options)) {
        out << Zorvan::substitute(translate("zvfile", "no autosave copy of %1"), {quoted(file)}) << "\n";
        return kDone;
    }
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    out << Zorvan::substitute(translate("zvfile", "deleted %1"), {quoted(copy.toNativeString())}) << "\n";
    return kDone;
}

void setStepHook(StepHook hook) {
    const std::lock_guard<std::mutex> lock(stepHookMutex());
    stepHook() = std::move(hook);
}

} // namespace zvfile
