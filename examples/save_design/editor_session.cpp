// A host of the installed package: the whole session of a small editor of
// pipe networks with the save API. It keeps its design in memory, autosaves
// the changes nobody saved yet on a timer thread, saves in every mode
// (removing what the user deleted), recovers the autosave copy after a
// crash, keeps a second editor out and refuses a design of a newer version.
// Run it in an empty folder:
//
//   editor_session crash   edits a new design, lets the timer autosave, then
//                          dies as if killed (exit code 3) before saving
//   editor_session         opens the design, which recovers the edits,
//                          and goes on editing
//
// It checks what it tells and ends with exit code 1 when anything differs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/EditSession.h"

namespace {

using Zorvan::DesignSave;
using Zorvan::EditSession;
using Zorvan::SerializationTransferObject;

const char* const kParts[] = {"Pipe", "Valve", "Pump"};

void check(bool holds, const std::string& what) {
    if (!holds) {
        throw std::runtime_error("not as expected: " + what);
    }
}

// The design as the editor holds it: objects by identity, and what changed
// since the last save, by part (an update in place writes only that).
class Network {
public:
    using Objects = std::map<std::int64_t, SerializationTransferObject>;

    std::int64_t add(const std::string& part, const std::string& payload) {
        const std::int64_t id = Zorvan::Identifier::create().number; // never one the design holds
        change({id, part, payload});
        return id;
    }
    void change(const SerializationTransferObject& object) {
        const std::lock_guard lock(m_mutex);
        m_objects[object.id()] = object;
        m_changed.insert(object.id());
        m_removed.erase(object.id());
        ++m_generation;
    }
    void remove(std::int64_t id) {
        const std::lock_guard lock(m_mutex);
        m_removed[id] = m_objects.at(id).type();
        m_objects.erase(id);
        m_changed.erase(id);
        ++m_generation;
    }
    // What an autosave writes: every object, and the session's token, taken
    // together under the lock; the copy is written without it. nullopt when
    // the design holds every edit.
    std::optional<std::pair<Objects, Zorvan::SaveToken>> snapshot(const EditSession& session,
                                                                  std::uint64_t& generation) const {
        const std::lock_guard lock(m_mutex);
        generation = m_generation;
        if (m_changed.empty() && m_removed.empty()) {
            return std::nullopt;
        }
        return std::pair{m_objects, session.snapshot()};
    }
    std::uint64_t generation() const {
        const std::lock_guard lock(m_mutex);
        return m_generation;
    }
    std::size_t size() const {
        const std::lock_guard lock(m_mutex);
        return m_objects.size();
    }

    // Saves the design in `mode`: a rewrite writes every object, an update
    // in place the changed and removed ones of the parts it writes (for
    // UpdateSelected, those in `selected`).
    void save(const EditSession& session, Zorvan::ZvFileWriteMode mode,
                       const std::set<std::string>& selected = {}) {
        const std::lock_guard lock(m_mutex);
        DesignSave save = session.save({.mode = mode});
        const bool rewrite = mode == Zorvan::ZvFileWriteMode::Overwrite;
        std::map<std::string, Zorvan::DesignPart> parts;
        for (const char* part : kParts) {
            parts.emplace(part, save.part(selected.empty() || selected.contains(part)));
        }
        for (const auto& [id, object] : m_objects) {
            if (rewrite || m_changed.contains(id)) {
                parts.at(object.type()).save(object);
            }
        }
        for (const auto& [id, part] : m_removed) {
            parts.at(part).remove(id); // a rewrite has nothing to remove
        }
        (void)save.commit("revision " + std::to_string(++m_revision), m_revision);
        // What the save did not write stays for the next one.
        std::erase_if(m_changed, [&](std::int64_t id) { return parts.at(m_objects.at(id).type()).isWritten(); });
        std::erase_if(m_removed, [&](const auto& removed) { return parts.at(removed.second).isWritten(); });
        std::cout << "saved " << session.file() << " (" << m_objects.size() << " objects)\n";
    }

    // Loads what the session opened (or recovered).
    void load(const Zorvan::OpenedDesign& design) {
        const std::lock_guard lock(m_mutex);
        if (!design.store) {
            return; // a new design
        }
        design.forEachObject([&](const SerializationTransferObject& object) {
            m_objects[object.id()] = object;
            return true;
        });
        design.store->endRead();
        m_revision = design.dataRevisionNumber;
    }

private:
    mutable std::mutex m_mutex;
    Objects m_objects;
    std::set<std::int64_t> m_changed;
    std::map<std::int64_t, std::string> m_removed; // identity, part
    std::uint64_t m_generation = 0;
    std::int32_t m_revision = 0;
};

// Writes what the editor holds to the autosave copy every `interval` while
// something changed, on a thread of its own. A save supersedes an autosave
// at once: the autosave is refused (Busy) and the next tick writes anew.
class Autosaver {
public:
    Autosaver(const Network& network, const EditSession& session, std::chrono::milliseconds interval)
        : m_network(network), m_session(session), m_thread([this, interval] { run(interval); }) {}
    ~Autosaver() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    // Waits until the copy holds the edits made so far.
    void waitUntilCopied() {
        std::unique_lock lock(m_mutex);
        const std::uint64_t wanted = m_network.generation();
        m_written.wait(lock, [&] { return m_copied >= wanted; });
    }

private:
    void run(std::chrono::milliseconds interval) {
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, interval, [&] { return m_stop; })) {
            if (m_network.generation() == m_copied) {
                continue;
            }
            lock.unlock();
            const std::optional<std::uint64_t> copied = writeCopy();
            lock.lock();
            if (copied) {
                m_copied = *copied;
                m_written.notify_all();
            }
        }
    }
    std::optional<std::uint64_t> writeCopy() const {
        try {
            std::uint64_t generation = 0;
            const auto unsaved = m_network.snapshot(m_session, generation);
            if (!unsaved) {
                return generation; // nothing the design lacks
            }
            // Another program's save keeps it out at once: the timer skips.
            DesignSave copy = m_session.autosave(unsaved->second, {.lockWait = std::chrono::milliseconds(0)});
            Zorvan::DesignPart part = copy.part();
            for (const auto& [id, object] : unsaved->first) {
                part.save(object);
            }
            (void)copy.commit("autosave", 0);
            return generation;
        } catch (const Zorvan::DesignRefusedException& e) {
            if (e.reason() != Zorvan::DesignRefusal::Busy) {
                std::cerr << "autosave: " << e.what() << "\n";
            }
            return std::nullopt; // skipped; the next tick tries again
        }
    }

    const Network& m_network;
    const EditSession& m_session;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_written;
    std::uint64_t m_copied = 0;
    bool m_stop = false;
    std::thread m_thread;
};

// How many objects `file` holds.
std::int64_t objectsIn(const std::string& file) { return Zorvan::openDesign(file).objectCount; }

// A new design, two saves' worth of edits, then the editor dies as if killed.
[[noreturn]] void editAndCrash(const std::string& file) {
    const EditSession session = EditSession::create(file);
    Network network;
    Autosaver autosaver(network, session, std::chrono::milliseconds(20));
    const std::int64_t valve = network.add("Valve", "DN80 gate");
    network.add("Pipe", "DN80 12 m");
    network.save(session, Zorvan::ZvFileWriteMode::Overwrite);
    network.add("Pump", "15 kW");
    network.change({valve, "Valve", "DN80 butterfly"});
    autosaver.waitUntilCopied();
    check(Zorvan::newerAutosaveCopy(file).has_value(), "the copy holds the edits not saved");
    std::cout << "autosaved 3 objects; the editor is killed before it saves\n";
    std::cout.flush();
    std::_Exit(3); // no destructor runs, as after a kill
}

} // namespace

int main(int argc, char** argv) {
    const std::string file = "network.zvd";
    try {
        if (argc > 1 && std::string(argv[1]) == "crash") {
            editAndCrash(file);
        }
        // Opening recovers what the crash left: the copy is saved as the design.
        EditSession session = EditSession::open(file);
        check(session.recovered() && session.design().objectCount == 3, "the edits made before the crash are back");
        std::cout << "recovered " << session.recovered()->objectCount << " objects from "
                  << session.recovered()->copy << "\n";
        Network network;
        network.load(session.design());
        { // the autosave thread runs while the user edits, and stops before the session closes
            Autosaver autosaver(network, session, std::chrono::milliseconds(20));

            // A second editor is kept out and told who has the design; reading it is never refused.
            try {
                (void)EditSession::open(file);
                check(false, "a second editor is refused");
            } catch (const Zorvan::DesignRefusedException& e) {
                check(e.reason() == Zorvan::DesignRefusal::Claimed, "refused as claimed");
                std::cout << "a second editor: " << e.what() << "\n";
            }
            check(Zorvan::openDesign(file).readable, "reading is never refused");

            // Edit, then an update of selected parts: only the pumps are written.
            const std::int64_t pump = network.add("Pump", "22 kW");
            const std::int64_t pipe = network.add("Pipe", "DN100 4 m");
            network.save(session, Zorvan::ZvFileWriteMode::UpdateSelected, {"Pump"});
            check(objectsIn(file) == 4, "the pump is saved, the pipe not yet");
            autosaver.waitUntilCopied();
            check(Zorvan::newerAutosaveCopy(file).has_value(), "the copy keeps the pipe, which the design lacks");
            // Removals in place: an update of all parts writes the pipe and removes the pump.
            network.remove(pump);
            network.save(session, Zorvan::ZvFileWriteMode::UpdateAll);
            check(objectsIn(file) == 4 && !Zorvan::newerAutosaveCopy(file),
                  "the pipe added, the pump removed, no copy");
            network.remove(pipe);
            network.save(session, Zorvan::ZvFileWriteMode::Overwrite); // what the editor holds
            check(objectsIn(file) == 3, "the rewrite leaves the pipe out");
        }

        // A design of a newer version is refused, with its reason.
        Zorvan::SqliteDesignStore::openForWriting("future.zvd", Zorvan::SqliteDesignStore::kCurrentVersion + 1)
            ->commit();
        try {
            (void)EditSession::open("future.zvd");
            check(false, "a newer design is refused");
        } catch (const Zorvan::DesignRefusedException& e) {
            check(e.reason() == Zorvan::DesignRefusal::Newer, "refused as newer");
            std::cout << e.what() << "\n";
        }
        session.close();
        std::cout << "session done\n";
    } catch (const Zorvan::DesignRefusedException& e) {
        // Every failure of the road: a sentence, a reason and its cause.
        std::cerr << "editor: " << e.what() << " (" << Zorvan::to_string(e.reason())
                  << (e.cause() ? ": " + e.cause()->message() : std::string()) << ")\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "editor: " << e.what() << "\n";
        return 1;
    }
}
