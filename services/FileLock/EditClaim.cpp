// EditClaim over the installed Env: the claim's file opened in the design's
// folder without following a link, its byte locked through that handle.

#include "FileLock/EditClaim.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>
#include <utility>

#include "Common/Process.h"
#include "Exceptions/FileError.h"
#include "FileHandling/Env.h"

namespace Zorvan {

namespace {

constexpr ByteRange kClaimByte{EditClaim::kClaimOffset, 1};
// How many times the claim's file may change under a try (let go and
// removed by its holder, replaced by another user's) before giving up.
constexpr int kTries = 16;
constexpr std::size_t kRecordSize = 512;
constexpr std::size_t kFieldSize = 64;

std::string now() {
    using namespace std::chrono;
    const auto time = floor<minutes>(system_clock::now());
    const year_month_day day{floor<days>(time)};
    const hh_mm_ss clock{time - floor<days>(time)};
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%04d-%02u-%02u %02ld:%02ld UTC", static_cast<int>(day.year()),
                        static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()),
                        static_cast<long>(clock.hours().count()), static_cast<long>(clock.minutes().count()));
    return text.data();
}

// One field of a record someone else wrote, fit to be put in a sentence.
std::string field(std::string_view text) {
    std::string kept;
    for (const char c : text.substr(0, kFieldSize)) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            kept += c;
        }
    }
    return kept;
}

EditorRecord parse(std::string_view text) {
    std::array<std::string, 3> fields;
    for (std::string& f : fields) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        f = field(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return {fields[0], fields[1], fields[2]};
}

struct Opened {
    EnvHandle file;
    FileFacts facts;
};

[[noreturn]] void fail(const std::error_code& error, const Folder& folder, const std::string& leaf,
                       std::string subject = {}) {
    throw FileError(error, FileRole::Lock, folder.pathOf(leaf), std::move(subject));
}

EditorRecord readRecord(Env& env, const EnvHandle& file) {
    std::string text(kRecordSize, '\0');
    std::size_t got = 0;
    if (env.read(file, 0, std::span<char>(text.data(), text.size()), got)) {
        return {};
    }
    text.resize(got);
    return parse(text);
}

// Whether `error` says the name holds no regular file: a link (never
// followed), a folder, a FIFO or a device.
bool noRegularFile(const std::error_code& error) {
    return means(error, std::errc::too_many_symbolic_link_levels) || means(error, std::errc::is_a_directory) ||
           means(error, std::errc::operation_not_supported);
}

// The claim's file at `leaf`, opened to be locked when this user may write
// it, else to be looked at; nullopt when there is none, or no regular file.
std::optional<Opened> openClaimFile(const Folder& folder, const std::string& leaf, bool create, bool& writable) {
    Env& env = folder.env();
    Opened opened;
    OpenOptions options;
    options.access = create ? OpenOptions::Access::ReadWrite : OpenOptions::Access::Read;
    options.creation = create ? OpenOptions::Creation::NewOrExisting : OpenOptions::Creation::Existing;
    options.mode = 0644;
    std::error_code error = env.open(folder.handle(), leaf, options, opened.file);
    writable = create && !error;
    if (create && isDenied(error)) {
        options.access = OpenOptions::Access::Read;
        options.creation = OpenOptions::Creation::Existing;
        error = env.open(folder.handle(), leaf, options, opened.file);
    }
    if ((!create && isAbsent(error)) || noRegularFile(error)) {
        return std::nullopt;
    }
    if (error || (error = env.facts(opened.file, opened.facts))) {
        fail(error, folder, leaf);
    }
    return opened;
}

bool lockedByAnother(const Folder& folder, const std::string& leaf, const EnvHandle& file) {
    bool locked = false;
    if (const std::error_code error = folder.env().isLocked(file, kClaimByte, locked)) {
        fail(error, folder, leaf);
    }
    return locked;
}

// Whether the name still holds `file`: a claim let go in between was removed.
bool stillAt(const Folder& folder, const std::string& leaf, const FileFacts& file) {
    const std::optional<FileFacts> now = folder.look(leaf);
    return now && sameFile(now->identity, file.identity);
}

// A file at the claim's name that this user may not simply write: another
// user's, or one with other names. Removed, unless the folder keeps it
// (a shared folder where only its owner may remove it).
void removeForeign(const Folder& folder, const std::string& leaf, const FileFacts& file) {
    const std::error_code error = folder.env().removeIf(folder.handle(), leaf, file.identity);
    if (error && !isAbsent(error)) {
        fail(isDenied(error) ? make_error_code(FileErrc::OtherOwner) : error, folder, leaf,
             file.owner ? userName(*file.owner) : std::string());
    }
}

bool isOwn(const FileFacts& file) {
    const std::optional<std::uint32_t> me = currentUser();
    return file.links == 1 && (!file.owner || !me || *file.owner == *me);
}

} // namespace

struct EditClaim::Impl {
    std::shared_ptr<const Folder> folder;
    std::string leaf;
    EnvHandle file;
    FileIdentity identity;
    EditorRecord record;
    std::uint64_t process = internal::currentProcess();

    ~Impl() {
        if (!file) {
            return;
        }
        Env& env = folder->env();
        // A forked child's copy of the handle shares the parent's lock: it
        // only closes its copy.
        if (process == internal::currentProcess()) {
            (void)env.removeIf(folder->handle(), leaf, identity);
            (void)env.lock(file, kClaimByte, Env::Lock::Unlocked);
        }
    }
};

std::string EditClaim::leafOf(const std::string& designLeaf) { return designLeaf + ".editor"; }

std::optional<EditClaim> EditClaim::take(const std::shared_ptr<const Folder>& folder, const std::string& designLeaf,
                                         EditorRecord& holder) {
    const std::string leaf = leafOf(designLeaf);
    Env& env = folder->env();
    for (int attempt = 0; attempt < kTries; ++attempt) {
        bool writable = false;
        std::optional<Opened> found = openClaimFile(*folder, leaf, /*create=*/true, writable);
        if (!found) { // a link planted at its name is removed, never followed
            const std::optional<FileFacts> there = folder->look(leaf);
            if (there && there->kind != FileFacts::Kind::Link) {
                fail(make_error_code(FileErrc::NotRegular), *folder, leaf);
            }
            if (there) {
                removeForeign(*folder, leaf, *there);
            }
            continue;
        }
        Opened& opened = *found;
        if (!writable || !isOwn(opened.facts)) {
            if (lockedByAnother(*folder, leaf, opened.file)) {
                holder = readRecord(env, opened.file);
                return std::nullopt;
            }
            removeForeign(*folder, leaf, opened.facts);
            continue;
        }
        const std::error_code locking = env.lock(opened.file, kClaimByte, Env::Lock::Exclusive);
        if (means(locking, std::errc::resource_unavailable_try_again)) {
            holder = readRecord(env, opened.file);
            return std::nullopt;
        }
        if (locking) {
            fail(locking, *folder, leaf);
        }
        auto impl = std::make_unique<Impl>();
        impl->folder = folder;
        impl->leaf = leaf;
        impl->file = std::move(opened.file);
        impl->identity = opened.facts.identity;
        impl->record = EditorRecord{field(currentUserName()), field(machineName()), now()};
        if (!stillAt(*folder, leaf, opened.facts)) {
            // Let go and removed by its holder meanwhile: not the claim.
            (void)env.lock(impl->file, kClaimByte, Env::Lock::Unlocked);
            impl->file = EnvHandle();
            continue;
        }
        const std::string text = impl->record.user + "\n" + impl->record.machine + "\n" + impl->record.since + "\n";
        std::error_code error = env.truncate(impl->file, 0);
        if (error || (error = env.write(impl->file, 0, std::span<const char>(text.data(), text.size())))) {
            fail(error, *folder, leaf);
        }
        return EditClaim(std::move(impl));
    }
    fail(std::make_error_code(std::errc::device_or_resource_busy), *folder, leaf);
}

std::optional<EditorRecord> EditClaim::holder(const Folder& folder, const std::string& designLeaf) {
    const std::string leaf = leafOf(designLeaf);
    bool writable = false;
    const std::optional<Opened> opened = openClaimFile(folder, leaf, /*create=*/false, writable);
    if (!opened || !lockedByAnother(folder, leaf, opened->file)) {
        return std::nullopt;
    }
    return readRecord(folder.env(), opened->file);
}

EditClaim::EditClaim(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
EditClaim::EditClaim(EditClaim&& other) noexcept = default;
EditClaim& EditClaim::operator=(EditClaim&& other) noexcept = default;
EditClaim::~EditClaim() = default;

const EditorRecord& EditClaim::record() const { return m_impl->record; }

} // namespace Zorvan
