// A host of the installed package: the whole session of a small editor of
// pipe networks with the save API. It keeps its design in memory, autosaves
// the changes nobody saved yet on a timer thread, saves in every mode
// (removing what the user deleted), recovers the autosave copy after a
// crash and refuses a design of a newer version. Run it in an empty folder:
//
//   editor_session crash   edits, lets the timer autosave, then dies as if
//                          killed (exit code 3) before saving
//   editor_session         finds the copy newer than the design, recovers
//                          the edits, saves them and goes on editing
//
// It checks what it tells and ends with exit code 1 when anything differs.
#include <atomic>
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

#include "Identifier/Identifier.h"
#include "Platform/Core/Persistence/DesignSave/DesignSave.h"

namespace {

using Zorvan::DesignSave;
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
    // What an autosave writes: every object, taken under the lock, written
    // without it; with the edits and the saves made so far.
    std::map<std::int64_t, SerializationTransferObject> snapshot(std::uint64_t& generation, int& saves) const {
        const std::lock_guard lock(m_mutex);
        generation = m_generation;
        saves = m_saves;
        return m_objects;
    }
    // Without the lock, which a save holds while it makes an autosave of
    // the design give way: the autosave asks this between its own calls.
    int saves() const { return m_saves.load(); }
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
    // UpdateSelected, those in `selected`). Returns the edits it holds now,
    // by their generation; 0 when some are left for a later save.
    std::uint64_t save(const std::string& file, Zorvan::ZvFileWriteMode mode,
                       const std::set<std::string>& selected = {}) {
        const std::lock_guard lock(m_mutex);
        Zorvan::DesignSaveOptions options;
        options.mode = mode;
        DesignSave save = DesignSave::begin(file, options);
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
        ++m_saves;
        // What the save did not write stays for the next one.
        std::erase_if(m_changed, [&](std::int64_t id) { return parts.at(m_objects.at(id).type()).isWritten(); });
        std::erase_if(m_removed, [&](const auto& removed) { return parts.at(removed.second).isWritten(); });
        std::cout << "saved " << file << " (" << m_objects.size() << " objects)\n";
        return m_changed.empty() && m_removed.empty() ? m_generation : 0;
    }

    // Loads a design opened with openDesign or openAutosaveCopy.
    void load(const Zorvan::OpenedDesign& design, bool recovered) {
        const std::lock_guard lock(m_mutex);
        design.forEachObject([&](const SerializationTransferObject& object) {
            m_objects[object.id()] = object;
            if (recovered) {
                m_changed.insert(object.id()); // not in the design yet
            }
            return true;
        });
        m_revision = design.dataRevisionNumber;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::int64_t, SerializationTransferObject> m_objects;
    std::set<std::int64_t> m_changed;
    std::map<std::int64_t, std::string> m_removed; // identity, part
    std::uint64_t m_generation = 0;
    std::int32_t m_revision = 0;
    std::atomic<int> m_saves{0};
};

// Writes what the editor holds to the autosave copy every `interval` while
// something changed, on a thread of its own. An autosave never holds up a
// save: while one runs, or when one begins, the autosave is skipped and the
// next tick writes the copy anew.
class Autosaver {
public:
    Autosaver(const Network& network, std::string file, std::chrono::milliseconds interval)
        : m_network(network), m_file(std::move(file)), m_thread([this, interval] { run(interval); }) {}
    ~Autosaver() {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    // The design holds the edits up to `generation` (0: not all of them, and
    // the copy is written again).
    void saved(std::uint64_t generation) {
        const std::lock_guard lock(m_mutex);
        m_copied = generation;
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
            int saves = 0;
            const auto objects = m_network.snapshot(generation, saves);
            Zorvan::DesignSaveOptions options;
            options.lockWait = std::chrono::milliseconds(0); // skip while another program saves
            DesignSave copy = DesignSave::beginAutosave(m_file, options);
            // The copy stands for the design as it is now: a save that came
            // since the snapshot may hold more than the snapshot.
            if (m_network.saves() != saves) {
                return std::nullopt;
            }
            Zorvan::DesignPart part = copy.part();
            for (const auto& [id, object] : objects) {
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
    std::string m_file;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_written;
    std::uint64_t m_copied = 0;
    bool m_stop = false;
    std::thread m_thread;
};

// Opens the design as the editor starts: the autosave copy when it holds
// edits nobody saved (the editor crashed), else the design, else nothing.
bool start(Network& network, const std::string& file) {
    if (const std::optional<Zorvan::FileName> copy = Zorvan::newerAutosaveCopy(file)) {
        network.load(Zorvan::openAutosaveCopy(file, {.intent = Zorvan::DesignIntent::Edit}), true);
        std::cout << "recovered " << network.size() << " objects from " << copy->getLeafName() << "\n";
        return true;
    }
    try {
        network.load(Zorvan::openDesign(file, {.intent = Zorvan::DesignIntent::Edit}), false);
    } catch (const Zorvan::DesignRefusedException& e) {
        if (e.reason() != Zorvan::DesignRefusal::Missing) {
            throw;
        }
    }
    std::cout << "opened " << file << " (" << network.size() << " objects)\n";
    return false;
}

// How many objects `file` holds.
std::int64_t objectsIn(const std::string& file) { return Zorvan::openDesign(file).objectCount; }

} // namespace

int main(int argc, char** argv) {
    const bool crash = argc > 1 && std::string(argv[1]) == "crash";
    const std::string file = "network.zvd";
    try {
        Network network;
        const bool recovered = start(network, file);
        Autosaver autosaver(network, file, std::chrono::milliseconds(20));
        // Once the design holds every edit, the copy has nothing more to give.
        const auto save = [&](Zorvan::ZvFileWriteMode mode, const std::set<std::string>& selected = {}) {
            const std::uint64_t saved = network.save(file, mode, selected);
            autosaver.saved(saved);
            if (saved != 0) {
                (void)Zorvan::removeAutosaveCopy(file, {});
            }
        };
        if (crash) {
            // A first save, then edits the editor dies with.
            const std::int64_t valve = network.add("Valve", "DN80 gate");
            network.add("Pipe", "DN80 12 m");
            save(Zorvan::ZvFileWriteMode::Overwrite);
            network.add("Pump", "15 kW");
            network.change({valve, "Valve", "DN80 butterfly"});
            autosaver.waitUntilCopied();
            check(Zorvan::openAutosaveCopy(file).objectCount == 3, "the copy holds the edits not saved");
            std::cout << "autosaved 3 objects; the editor is killed before it saves\n";
            std::cout.flush();
            std::_Exit(3); // no destructor runs, as after a kill
        }
        check(recovered && network.size() == 3, "the edits made before the crash are back");
        save(Zorvan::ZvFileWriteMode::UpdateAll);
        check(!Zorvan::newerAutosaveCopy(file), "the copy is gone once the design holds its edits");

        // Edit, then an update of selected parts: only the pumps are written.
        const std::int64_t pump = network.add("Pump", "22 kW");
        const std::int64_t pipe = network.add("Pipe", "DN100 4 m");
        save(Zorvan::ZvFileWriteMode::UpdateSelected, {"Pump"});
        check(objectsIn(file) == 4, "the pump is saved, the pipe not yet");
        autosaver.waitUntilCopied();
        check(Zorvan::newerAutosaveCopy(file).has_value(), "the copy keeps the pipe, which the design lacks");
        // Removals in place: an update of all parts writes the pipe and removes the pump.
        network.remove(pump);
        save(Zorvan::ZvFileWriteMode::UpdateAll);
        check(objectsIn(file) == 4, "the pipe added, the pump removed");
        network.remove(pipe);
        save(Zorvan::ZvFileWriteMode::Overwrite); // a rewrite holds what the editor holds
        check(objectsIn(file) == 3, "the rewrite leaves the pipe out");

        // A design of a newer version is refused, with its reason.
        Zorvan::SqliteDesignStore::openForWriting("future.zvd", Zorvan::SqliteDesignStore::kCurrentVersion + 1)
            ->commit();
        try {
            Network other;
            (void)start(other, "future.zvd");
            check(false, "a newer design is refused");
        } catch (const Zorvan::DesignRefusedException& e) {
            check(e.reason() == Zorvan::DesignRefusal::Newer, "refused as newer");
            std::cout << e.what() << "\n";
        }
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
