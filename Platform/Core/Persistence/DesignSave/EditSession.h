#pragma once
/// @file
/// EditSession: one user's editing session with a design, from opening it
/// to closing it, as one object. It is the safe way for an editor: it holds
/// the design for this editor alone, knows what it opened, and writes
/// autosave copies that can never bring back less than was saved.
///
/// @code
/// Zorvan::EditSession session = Zorvan::EditSession::open("pump.zvd"); // recovers a newer copy first
/// session.design().forEachObject(load);
/// // autosave thread, every few minutes:
/// const auto [objects, token] = host.copy([&] { return session.snapshot(); }); // under the host's lock
/// Zorvan::DesignSave copy = session.autosave(token, {.lockWait = std::chrono::milliseconds(0)});
/// // user's save:
/// Zorvan::DesignSave save = session.save({});
/// // ... parts, then save.commit(...): the design holds every edit, the copy is gone
/// session.close(); // the user saved or discarded the edits
/// @endcode
///
/// **One editor at a time.** Opening for editing takes the design's claim,
/// which lasts until the session is closed or dropped, or its process ends
/// (a crashed editor keeps nobody out). A second editor, of this program or
/// another, of this user or another, is refused as Claimed with a sentence
/// that says who holds it and since when, and that it can be opened to read
/// (openDesign never takes the claim and is never refused for it). A save,
/// autosave, copy, recovery or removal of the copy by name (DesignSave's
/// calls) is refused the same way while an editor holds the design.
///
/// **A save knows what was opened.** A save of the session refuses, as
/// Interfered, a design that another program changed, replaced or removed
/// since the session opened or last saved it, unless the host asks to
/// overwrite it (DesignSaveOptions::overwriteChanges). A committed save
/// removes the autosave copy: the design holds every edit it held.
///
/// **Autosaves that cannot be stale.** snapshot() gives a SaveToken, taken
/// together with the host's copy of its objects (under the same lock). An
/// autosave of that token is refused (Busy) when a save of the session
/// committed since, at its begin or its commit, so a copy is never older than
/// the design; a save never waits for an autosave: the autosave holds the
/// design only while it begins and while it puts the copy in place, and a
/// save that begins makes its next call refuse (Busy). The host skips that
/// autosave and writes the next one.
///
/// A design's name is UTF-8 text on every system, as for DesignSave: a
/// Windows host converts a UTF-16 name with utf8FromWide
/// (FileHandling/WideText.h) before opening it.
///
/// Thread-safety: autosave() may run on a thread of its own while the host
/// edits and saves; every other call on one thread at a time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Core/Persistence/DesignSave/DesignSave.h"
#include "Platform/Core/Persistence/DesignSave/DesignSaveExport.h"

namespace Zorvan {

/// The state of the session's design at the moment the host copied its
/// objects for an autosave: take it with EditSession::snapshot() under the
/// lock the host copies its objects under.
class PERSISTENCE_DESIGNSAVE_EXPORT SaveToken {
private:
    friend class EditSession;
    explicit SaveToken(std::uint64_t saves) : m_saves(saves) {}
    std::uint64_t m_saves;
};

/// How an editing session opens its design.
struct EditOptions {
    /// How long to wait for a save of another program while recovering,
    /// and for an autosave of this session's as it is closed.
    std::chrono::milliseconds lockWait{10000};
    /// Called once, before waiting, when another program holds the design,
    /// with why it waits (as DesignSaveOptions::onWait).
    WaitNote onWait{};
    /// Save a newer autosave copy as the design before opening it
    /// (DesignSave::recoverAutosave): what a crashed session left.
    bool recover = true;
};

class PERSISTENCE_DESIGNSAVE_EXPORT EditSession {
public:
    /// Opens `file` for editing: takes its claim, recovers a newer autosave
    /// copy when options.recover says so, and opens the design as openDesign
    /// opens it for editing. Raises DesignRefusedException: Claimed while
    /// another editor holds it, and as DesignSave::recoverAutosave and
    /// openDesign do (a host may open it with options.recover false then).
    [[nodiscard]] static EditSession open(const std::string& file, const EditOptions& options = {});
    /// Starts a new design that will be saved as `file`: takes its claim;
    /// nothing is read. A design at the name now is replaced by the first
    /// save (a Save As the user confirmed). A newer autosave copy of a design
    /// never saved is recovered when options.recover says so; design() then
    /// holds it.
    [[nodiscard]] static EditSession create(const std::string& file, const EditOptions& options = {});

    EditSession(EditSession&& other) noexcept;
    EditSession& operator=(EditSession&& other) noexcept;
    /// Lets the claim go; the autosave copy stays, as after a crash (a host
    /// that leaves by an exception loses nothing). close() removes it.
    ~EditSession();

    /// The file as the host named it.
    [[nodiscard]] const std::string& file() const;
    /// What was opened: the design, or (create) an empty one with no store.
    [[nodiscard]] const OpenedDesign& design() const;
    /// What open() or create() recovered from the autosave copy, if anything.
    [[nodiscard]] const std::optional<RecoveredCopy>& recovered() const;

    /// The state the host's objects are copied at, for autosave().
    [[nodiscard]] SaveToken snapshot() const;
    /// Starts a save of the design (DesignSave::begin), refused as
    /// Interfered when the design changed since this session opened or last
    /// saved it, unless options.overwriteChanges. Its commit removes the
    /// autosave copy.
    [[nodiscard]] DesignSave save(const DesignSaveOptions& options) const;
    /// Starts writing the autosave copy with the objects copied with
    /// `token`, as DesignSave::beginAutosave describes. Refused (Busy) when a
    /// save committed since `token` was taken or while another autosave of
    /// the session runs, and (Interfered) when another program changed the
    /// design since the session opened or saved it.
    [[nodiscard]] DesignSave autosave(const SaveToken& token, const DesignSaveOptions& options) const;

    /// Ends the session: the edits were saved or the user discarded them,
    /// so the autosave copy is removed (an autosave under way is refused
    /// from now on) and the claim let go. Raises DesignRefusedException when
    /// the copy cannot be removed; the claim is let go all the same. Stop
    /// the autosave thread first: only autosave() runs beside other calls.
    void close();

private:
    PERSISTENCE_DESIGNSAVE_NO_EXPORT explicit EditSession(std::shared_ptr<EditSessionState> state);
    PERSISTENCE_DESIGNSAVE_NO_EXPORT EditSessionState& live(const char* call) const;
    std::shared_ptr<EditSessionState> m_state;
};

} // namespace Zorvan
