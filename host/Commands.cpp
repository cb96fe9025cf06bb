#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Platform/Core/Persistence/DesignSave/EditSession.h"

#include "FileHandling/Folder.h"
#include "Identifier/Identifier.h"
#include "Logging/Logging.h"
#include "Platform/Core/Persistence/DesignSalvage/DesignSalvage.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "SampleDesign.h"
#include "Translation/Substitute.h"

namespace zvfile {
namespace {

using Zorvan::DesignSave;
using Zorvan::FileName;
using Zorvan::ZvFileWriteMode;

static_assert(static_cast<int>(SaveMode::Overwrite) == ZvFileWriteMode::Overwrite &&
                  static_cast<int>(SaveMode::UpdateSelected) == ZvFileWriteMode::UpdateSelected &&
                  static_cast<int>(SaveMode::UpdateAll) == ZvFileWriteMode::UpdateAll,
              "zvfile's save modes are the library's");

std::string quoted(const std::string& file) { return "'" + file + "'"; }

// The note on standard error when a command waits for another program
// that holds the design: one that is saving it (its one-writer lock), or
// one that has it open without letting others write it (Windows).
std::function<void(std::error_code)> waitNote(const std::string& file, std::chrono::milliseconds lockWait) {
    return [file, lockWait](std::error_code why) {
        std::ostringstream seconds;
        seconds << std::chrono::duration<double>(lockWait).count();
        const std::string note =
            why == Zorvan::FileErrc::HeldOpen
                ? translate("zvfile", "%1 is held open by another program; waiting up to %2 s for it to be closed")
                : translate("zvfile", "%1 is being saved by another program; waiting up to %2 s for it to finish");
        std::cerr << "zvfile: " << Zorvan::substitute(note, {quoted(file), seconds.str()}) << std::endl;
    };
}

// How zvfile runs a save, an autosave or a clean: the mode and wait asked
// for, a note on standard error when it waits for another program, and
// each step reported.
Zorvan::DesignSaveOptions saveOptions(const Invocation& invocation) {
    Zorvan::DesignSaveOptions options;
    options.mode = static_cast<ZvFileWriteMode>(invocation.mode);
    options.lockWait = invocation.lockWait;
    options.onWait = waitNote(invocation.file, invocation.lockWait);
    options.onStep = stepReached;
    return options;
}

// A line on standard error that shows how far a long save or salvage is,
// rewritten in place; only on a terminal, and gone before the result is
// printed. `text` takes the file and the percentage done.
class ProgressLine {
public:
    ProgressLine(std::string text, const std::string& file, std::int64_t total, bool wanted)
        : m_text(std::move(text)),
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

// One part per kind of object, selected as the command line says; a
// rewrite gives each its own group.
std::vector<Zorvan::DesignPart> partsOf(DesignSave& saving, const Invocation& options) {
    std::vector<Zorvan::DesignPart> parts;
    for (const std::string_view part : kParts) {
        parts.push_back(
            saving.part(std::find(options.select.begin(), options.select.end(), part) != options.select.end()));
        if (static_cast<ZvFileWriteMode>(options.mode) == ZvFileWriteMode::Overwrite) {
            saving.createGroup();
        }
    }
    return parts;
}

// Saves `count` objects one at a time in identity order: the design's own
// objects first (identities kept), then new ones from the identifier
// service, which come after every identity the design holds. Returns how
// many the save wrote: an update of selected parts leaves the others.
std::int64_t writeObjects(DesignSave& saving, std::vector<Zorvan::DesignPart>& parts, const Invocation& options,
                          std::int64_t count) {
    ProgressLine progress(translate("zvfile", "saving %1: %2%"), options.file, count, options.progress);
    std::int64_t done = 0;
    std::int64_t written = 0;
    const auto saveOne = [&](std::int64_t id, std::size_t part) {
        parts[part].save(sampleObject(id, part, options.dataRevision));
        written += parts[part].isWritten() ? 1 : 0;
        progress.advance(++done);
        if (done == count / 2) {
            stepReached("writing");
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
        saveOne(newIdentity(options.file), static_cast<std::size_t>(done) % kParts.size());
    }
    return written;
}

int saveDesign(const Invocation& options, std::ostream& out) {
    const std::string& file = options.file;
    DesignSave saving = DesignSave::begin(file, saveOptions(options));
    const std::int64_t count =
        options.objects >= 0 ? options.objects : (saving.isNewDesign() ? 100 : saving.objectCount());
    if (!saving.isNewDesign() && saving.writtenFile() != FileName(file)) {
        out << Zorvan::substitute(translate("zvfile", "writing through %1"),
                                  {quoted(saving.writtenFile().toNativeString())})
            << "\n";
    }
    std::vector<Zorvan::DesignPart> parts = partsOf(saving, options);
    const std::int64_t written = writeObjects(saving, parts, options, count);
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

int save(const Invocation& invocation, std::ostream& out) { return saveDesign(invocation, out); }

namespace {

// info --json: one JSON object for every outcome (its members are in the
// README and host/info.schema.json). Bytes of a file name that are not
// UTF-8 are replaced, so the output is always valid JSON.
int infoJson(const std::string& file, std::ostream& out) {
    nlohmann::json report = {{"schema", kInfoSchema}, {"file", file}};
    int code = kDone;
    try {
        const Zorvan::OpenedDesign opened = Zorvan::openDesign(file, {.lookAtNewer = true});
        report.update({
            {"readable", opened.readable},
            {"current", opened.current},
            {"version", opened.version},
            {"createdRevision", opened.createdRevision},
            {"lastSavedRevision", opened.lastSavedRevision},
            {"dataRevision", opened.dataRevision},
            {"dataRevisionNumber", opened.dataRevisionNumber},
            {"identifier", {{"number", opened.nextIdentifier}, {"domain", opened.identifierDomain}}},
            {"objects", opened.objectCount},
        });
        opened.requireReadable();
    } catch (const Zorvan::DesignRefusedException& e) {
        report["error"] = {{"reason", Zorvan::to_string(e.reason())}, {"message", e.what()}};
        code = kRefused;
    }
    out << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return code;
}

} // namespace

int info(const Invocation& invocation, std::ostream& out) {
    const std::string& file = invocation.file;
    if (invocation.json) {
        return infoJson(file, out);
    }
    const Zorvan::OpenedDesign opened = Zorvan::openDesign(file);
    const auto yesNo = [](bool value) { return value ? translate("zvfile", "yes") : translate("zvfile", "no"); };
    using Zorvan::substitute;
    out << file << "\n"
        << "  " << substitute(translate("zvfile", "readable:       %1"), {yesNo(opened.readable)}) << "\n"
        << "  " << substitute(translate("zvfile", "current:        %1"), {yesNo(opened.current)}) << "\n"
        << "  " << opened.versionLine << "\n"
        << "  "
        << substitute(translate("zvfile", "data revision:  %1 (%2)"),
                      {opened.dataRevision, std::to_string(opened.dataRevisionNumber)})
        << "\n"
        << "  "
        << substitute(translate("zvfile", "identifiers:    next %1 in domain %2"),
                      {std::to_string(opened.nextIdentifier), std::to_string(opened.identifierDomain)})
        << "\n"
        << "  " << substitute(translate("zvfile", "objects:        %1"), {std::to_string(opened.objectCount)})
        << "\n";
    return kDone;
}

int autosave(const Invocation& invocation, std::ostream& out) {
    // zvfile holds no changes of its own: the objects it would save now are
    // the design's as they are, autosaved as an editor's session would.
    const Zorvan::DesignSaveOptions options = saveOptions(invocation);
    const Zorvan::EditSession session =
        Zorvan::EditSession::open(invocation.file,
                                  {.lockWait = options.lockWait, .onWait = options.onWait, .recover = false});
    DesignSave copy = session.autosave(session.snapshot(), options);
    Zorvan::DesignPart objects = copy.part();
    const Zorvan::OpenedDesign& opened = session.design();
    opened.forEachObject([&](const Zorvan::SerializationTransferObject& object) {
        objects.save(object);
        return true;
    });
    out << copy.commit(opened.dataRevision, opened.dataRevisionNumber).file << "\n";
    return kDone;
}

int recover(const Invocation& invocation, std::ostream& out) {
    const std::string& file = invocation.file;
    const std::optional<Zorvan::RecoveredCopy> recovered = DesignSave::recoverAutosave(file, saveOptions(invocation));
    if (!recovered) {
        out << Zorvan::substitute(translate("zvfile", "no autosave copy newer than %1"), {quoted(file)}) << "\n";
        return kDone;
    }
    out << Zorvan::substitute(translate("zvfile", "recovered %1 objects of %2 from %3"),
                              {std::to_string(recovered->objectCount), quoted(file), quoted(recovered->copy)})
        << "\n";
    return kDone;
}

int clean(const Invocation& invocation, std::ostream& out) {
    const std::string& file = invocation.file;
    if (!Zorvan::removeAutosaveCopy(file, saveOptions(invocation))) {
        out << Zorvan::substitute(translate("zvfile", "no autosave copy of %1"), {quoted(file)}) << "\n";
        return kDone;
    }
    // The copy of the name as the system took it ("pump.zvd." is pump.zvd).
    const FileName copy = Zorvan::ZvFileIO().constructAutosaveFileName(Zorvan::nativeName(file).path);
    out << Zorvan::substitute(translate("zvfile", "deleted %1"), {quoted(copy.toNativeString())}) << "\n";
    return kDone;
}

namespace {

// At most this many identities are listed in a sentence; the rest are counted.
constexpr std::size_t kListed = 10;

std::string listOf(const std::vector<std::int64_t>& identities) {
    std::string list;
    for (std::size_t i = 0; i < std::min(identities.size(), kListed); ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(identities[i]);
    }
    if (identities.size() > kListed) {
        list += Zorvan::substitute(translate("zvfile", " and %1 more"), {std::to_string(identities.size() - kListed)});
    }
    return list;
}

// The report in sentences, each only when it has something to say.
void printReport(const Zorvan::SalvageReport& report, std::ostream& out) {
    using Zorvan::substitute;
    out << substitute(translate("zvfile", "salvaged %1 objects of %2 into %3 (software revision %4)"),
                      {std::to_string(report.objectsSalvaged), quoted(report.file), quoted(report.into),
                       report.savedRevision})
        << "\n";
    if (!report.lostIdentities.empty()) {
        out << "  "
            << substitute(translate("zvfile", "lost: %1 objects whose content could not be read (identities %2)"),
                          {std::to_string(report.lostIdentities.size()), listOf(report.lostIdentities)})
            << "\n";
    }
    if (!report.suspectIdentities.empty()) {
        out << "  "
            << substitute(translate("zvfile", "suspect: %1 objects were read from pages that fail their check; look at "
                                              "them before relying on them (identities %2)"),
                          {std::to_string(report.suspectIdentities.size()), listOf(report.suspectIdentities)})
            << "\n";
    }
    if (report.unsoundPages > 0) {
        out << "  "
            << substitute(translate("zvfile", "damaged: %1 of its pages no longer hold what was written to them"),
                          {std::to_string(report.unsoundPages)})
            << "\n";
    }
    for (const Zorvan::SalvagedDuplicate& duplicate : report.duplicates) {
        out << "  "
            << substitute(duplicate.keptFromTable
                              ? translate("zvfile", "identity %1 was held by %2 different objects; kept the one the "
                                                    "design still lists (%3, %4 bytes)")
                              : translate("zvfile", "identity %1 was held by %2 different objects; kept the first one "
                                                    "found (%3, %4 bytes)"),
                          {std::to_string(duplicate.identity), std::to_string(duplicate.copies), duplicate.keptType,
                           std::to_string(duplicate.keptPayloadBytes)})
            << "\n";
    }
    if (!report.metadataReadable) {
        out << "  " << translate("zvfile", "the design's metadata could not be read; defaults were used for all of it")
            << "\n";
    } else if (!report.defaultsUsed.empty()) {
        std::string fields;
        for (const std::string& field : report.defaultsUsed) {
            fields += (fields.empty() ? "" : ", ") + field;
        }
        out << "  " << substitute(translate("zvfile", "defaults were used for what could not be read: %1"), {fields})
            << "\n";
    }
    out << "  "
        << substitute(translate("zvfile", "the new design hands out identifiers from %1"),
                      {std::to_string(report.nextIdentifier)})
        << "\n";
}

nlohmann::json jsonOf(const Zorvan::SalvageReport& report) {
    nlohmann::json duplicates = nlohmann::json::array();
    for (const Zorvan::SalvagedDuplicate& duplicate : report.duplicates) {
        duplicates.push_back({{"identity", duplicate.identity},
                              {"copies", duplicate.copies},
                              {"keptFromTable", duplicate.keptFromTable},
                              {"keptType", duplicate.keptType},
                              {"keptPayloadBytes", duplicate.keptPayloadBytes}});
    }
    return {
        {"objects", report.objectsSalvaged},
        {"lost", report.lostIdentities},
        {"suspect", report.suspectIdentities},
        {"unsoundPages", report.unsoundPages},
        {"duplicates", duplicates},
        {"groups", report.groups},
        {"metadata",
         {{"readable", report.metadataReadable},
          {"defaultsUsed", report.defaultsUsed},
          {"version", report.version},
          {"createdRevision", report.createdRevision},
          {"lastSavedRevision", report.lastSavedRevision},
          {"dataRevision", report.dataRevision},
          {"dataRevisionNumber", report.dataRevisionNumber},
          {"nextIdentifier", report.formerNextIdentifier}}},
        {"identifier", {{"number", report.nextIdentifier}, {"domain", report.identifierDomain}}},
        {"revision", report.savedRevision},
    };
}

} // namespace

int salvage(const Invocation& invocation, std::ostream& out) {
    const std::string into = invocation.into.empty() ? Zorvan::salvagedName(invocation.file) : invocation.into;
    std::optional<ProgressLine> progress;
    Zorvan::SalvageOptions options;
    options.lockWait = invocation.lockWait;
    options.onWait = waitNote(into, invocation.lockWait);
    options.onProgress = [&](std::int64_t done, std::int64_t total) {
        if (!progress) {
            progress.emplace(translate("zvfile", "salvaging %1: %2%"), invocation.file, total,
                             invocation.progress && !invocation.json);
        }
        progress->advance(done);
    };
    if (!invocation.json) {
        const Zorvan::SalvageReport report = Zorvan::salvageDesign(invocation.file, into, options);
        progress.reset();
        printReport(report, out);
        return kDone;
    }
    nlohmann::json json = {{"schema", kInfoSchema}, {"file", invocation.file}, {"into", into}};
    int code = kDone;
    try {
        json.update(jsonOf(Zorvan::salvageDesign(invocation.file, into, options)));
    } catch (const Zorvan::DesignRefusedException& e) {
        json["error"] = {{"reason", Zorvan::to_string(e.reason())}, {"message", e.what()}};
        code = kRefused;
    }
    progress.reset();
    out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return code;
}

} // namespace zvfile
