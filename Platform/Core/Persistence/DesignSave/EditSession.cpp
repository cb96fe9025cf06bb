// An editor's session with a design: the claim that keeps other editors
// out, what the session opened, and the saves and autosaves that check it.

#include "Platform/Core/Persistence/DesignSave/EditSession.h"

#include <stdexcept>
#include <utility>

#include "Platform/Core/Persistence/DesignSave/Road.h"

namespace Zorvan {

using namespace road;

namespace {

// The first steps of a session of `file`: its name resolved, its folder and
// its copy's folder held, and its claim taken.
std::shared_ptr<EditSessionState> claim(const std::string& typed, const EditOptions& options) {
    const std::string file = usableName(kCannotOpen, typed);
    auto state = std::make_shared<EditSessionState>();
    state->file = file;
    state->options = options;
    const SaveTarget target = saveTarget(file, kCannotOpen);
    if (!target.site.folder) {
        refuse(kCannotOpen, file, translate("DesignSave", "it does not exist."), DesignRefusal::Missing,
               std::make_error_code(std::errc::no_such_file_or_directory));
    }
    // Only one who may save the design edits it, and writes its copy.
    requireSavePossible(kCannotOpen, file, target);
    state->design = target.site;
    const FileName copy = ZvFileIO().constructAutosaveFileName(file);
    state->copyLeaf = copy.getLeafName();
    state->copyName = copy.toNativeString();
    state->copyFolder = holdFolder(kCannotOpen, file, copy);
    EditorRecord holder;
    state->claim =
        guarded(kCannotOpen, file, [&] { return EditClaim::take(target.site.folder, target.site.leaf, holder); });
    if (!state->claim) {
        refuseClaimed(kCannotOpen, file, holder);
    }
    return state;
}

// How the session's own roads wait for another program's.
DesignSaveOptions waitingAs(const EditOptions& options) {
    DesignSaveOptions waiting;
    waiting.lockWait = options.lockWait;
    waiting.onWait = options.onWait;
    return waiting;
}

// Opens the claimed design for editing: the file the session holds the
// claim beside, and the state it opened it in.
void openClaimed(EditSessionState& state) {
    state.opened = openForHost(kCannotOpen, state.file, state.design.folder->pathOf(state.design.leaf),
                               {.intent = DesignIntent::Edit});
    state.opened.file = state.file;
    const std::optional<FileFacts> there =
        guarded(kCannotOpen, state.file, [&] { return state.design.folder->look(state.design.leaf); });
    const FileIdentity opened = state.opened.store->identity();
    if (!there || !sameFile(there->identity, opened)) {
        refuse(kCannotOpen, state.file,
               translate("DesignSave", "another program moved or replaced it while it was being opened."),
               DesignRefusal::Interfered);
    }
    state.saved({opened.device, opened.inode, opened.birth,
                 guarded(kCannotOpen, state.file, [&] { return state.opened.store->changeCounter(); })});
}

} // namespace

EditSession EditSession::open(const std::string& file, const EditOptions& options) {
    std::shared_ptr<EditSessionState> state = claim(file, options);
    if (options.recover) {
        state->recovered = DesignSave::recoverAutosave(file, waitingAs(options), state);
    }
    openClaimed(*state);
    return EditSession(std::move(state));
}

EditSession EditSession::create(const std::string& file, const EditOptions& options) {
    std::shared_ptr<EditSessionState> state = claim(file, options);
    if (options.recover) {
        state->recovered = DesignSave::recoverAutosave(file, waitingAs(options), state);
    }
    if (state->recovered) {
        openClaimed(*state);
        return EditSession(std::move(state));
    }
    state->opened.file = file;
    // What is at the name now is what the first save replaces.
    const std::optional<FileFacts> there =
        guarded(kCannotOpen, file, [&] { return state->design.folder->look(state->design.leaf); });
    state->saved(there ? guarded(kCannotOpen, file, [&] { return originOf(there->identity, state->design); })
                       : AutosaveOrigin{});
    return EditSession(std::move(state));
}

EditSession::EditSession(std::shared_ptr<EditSessionState> state) : m_state(std::move(state)) {}
EditSession::EditSession(EditSession&& other) noexcept = default;
EditSession& EditSession::operator=(EditSession&& other) noexcept = default;
EditSession::~EditSession() = default;

EditSessionState& EditSession::live(const char* call) const {
    if (!m_state) {
        throw std::logic_error(std::string("EditSession::") + call +
                               " called on a session that was closed or moved from");
    }
    return *m_state;
}

const std::string& EditSession::file() const { return live("file").file; }
const OpenedDesign& EditSession::design() const { return live("design").opened; }
const std::optional<RecoveredCopy>& EditSession::recovered() const { return live("recovered").recovered; }

SaveToken EditSession::snapshot() const { return SaveToken(live("snapshot").saves()); }

DesignSave EditSession::save(const DesignSaveOptions& options) const {
    EditSessionState& state = live("save");
    return DesignSave::begin(state.file, options, m_state);
}

DesignSave EditSession::autosave(const SaveToken& token, const DesignSaveOptions& options) const {
    live("autosave");
    return DesignSave::beginAutosave(m_state, token.m_saves, options);
}

void EditSession::close() {
    live("close");
    const std::shared_ptr<EditSessionState> state = std::move(m_state);
    // Under the design's lock, so that an autosave cannot put a copy back:
    // its tokens are stale from here on.
    const FileLock lock =
        lockDesign(kCannotDeleteCopy, state->file, state->design, /*create=*/true, waitingAs(state->options));
    state->endTokens();
    // A file at the copy's name that is not the design's copy stays,
    // unmentioned: closing asked for no removal, and the design's next
    // autosave refuses that file.
    const Site copy{state->copyFolder, state->copyLeaf};
    const AtCopyName at = guarded(kCannotDeleteCopy, state->file, [&] { return lookAtCopy(copy, state->design); });
    if (at.facts && !at.foreign) {
        requireReplaceable(kCannotDeleteCopy, state->file, state->copyName, at);
        guarded(kCannotDeleteCopy, state->file, [&] { (void)copy.folder->remove(copy.leaf); });
    }
}

} // namespace Zorvan
