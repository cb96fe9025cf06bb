#pragma once
// CrashSimFileSystem: a file system in memory that knows what has reached
// the disk. File content is durable once synced; names (creations, renames,
// removals) are durable once their folder is synced. crash() forgets
// everything else, the way a power cut does: a file's unsynced rewrite is
// left torn (half old, half new) and folder changes since the last folder
// sync are undone.
//
// Every change is a step; crashAt(n) makes the n-th step from now throw
// SimulatedCrash before it happens, so a test can stop a save anywhere.
// replaceFile follows the native discipline: flush the source, rename it
// over the destination, sync the folder (three steps); so does remove:
// remove the name, sync the folder (two steps).

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileSystem.h"

namespace Zorvan::testing {

class SimulatedCrash : public std::runtime_error {
public:
    SimulatedCrash() : std::runtime_error("simulated crash") {}
};

class CrashSimFileSystem : public FileSystem {
public:
    // Creates a file whose content and name are already durable.
    void seed(const std::string& name, const std::string& content) {
        auto node = std::make_shared<Inode>(Inode{content, content});
        m_names[name] = node;
        m_durableNames[name] = node;
    }

    // Rewrites a file's content (creating it when missing); not durable until sync.
    void write(const std::string& name, const std::string& content) {
        step();
        auto& node = m_names[name];
        if (!node) {
            node = std::make_shared<Inode>();
        }
        node->current = content;
    }
    void sync(const std::string& name) {
        step();
        const auto& node = m_names.at(name);
        node->durable = node->current;
    }
    void syncFolder() {
        step();
        m_durableNames = m_names;
    }

    bool exists(const FileName& name, bool) override { return m_names.contains(name.toNativeString()); }
    bool isReadOnly(const FileName&) override { return false; }
    void remove(const FileName& name) override {
        step();
        if (m_names.erase(name.toNativeString()) == 0) {
            throw FileNameException("Cannot remove '" + name.toNativeString() + "'", name.toNativeString(),
                                    std::make_error_code(std::errc::no_such_file_or_directory));
        }
        syncFolder();
    }
    bool replaceFile(const FileName& source, const FileName& destination) override {
        const auto found = m_names.find(source.toNativeString());
        if (found == m_names.end()) {
            return false;
        }
        sync(found->first);
        step();
        m_names[destination.toNativeString()] = found->second;
        m_names.erase(source.toNativeString());
        syncFolder();
        return true;
    }

    // Makes the `n`-th step from now (1-based) throw; 0: never. Returns the
    // steps taken since the last call.
    int crashAt(int n) {
        m_crashAt = n;
        return std::exchange(m_steps, 0);
    }

    // What survives a power cut now.
    void crash() {
        m_names = m_durableNames;
        for (auto& [name, node] : m_names) {
            if (node->current != node->durable) {
                // A rewrite that never reached the disk whole: torn.
                node->current = node->durable.substr(0, node->durable.size() / 2) +
                                node->current.substr(node->current.size() / 2);
                node->durable = node->current;
            }
        }
    }

    std::optional<std::string> content(const std::string& name) const {
        const auto found = m_names.find(name);
        return found == m_names.end() ? std::nullopt : std::optional<std::string>(found->second->current);
    }
    std::size_t fileCount() const { return m_names.size(); }

private:
    struct Inode {
        std::string current;
        std::string durable;
    };

    void step() {
        if (++m_steps == m_crashAt) {
            throw SimulatedCrash();
        }
    }

    std::map<std::string, std::shared_ptr<Inode>> m_names;
    std::map<std::string, std::shared_ptr<Inode>> m_durableNames;
    int m_steps = 0;
    int m_crashAt = 0;
};

} // namespace Zorvan::testing
