// Folder on Windows: the folder is kept by its path. Files carry no owner
// here and a link is a reparse point the file API reports, so the checks
// act by name: identities are compared before each step, and the durable
// replace is the installed file system's (natively ReplaceFileW, then the
// flush).

#include "FileHandling/FileNameException.h"
#include "FileHandling/FileUtilities.h"
#include "FileHandling/Folder.h"
#include "WindowsFiles.h"

#include <filesystem>
#include <fstream>
#include <utility>

namespace Zorvan {
namespace {

namespace fs = std::filesystem;

fs::path native(const std::string& path) {
    const std::optional<std::wstring> wide = windows::widen(path);
    return wide ? fs::path(*wide) : fs::path(path);
}

} // namespace

struct Folder::Impl {
    std::string path;
};

std::string userName(std::uint32_t id) { return "user " + std::to_string(id); }

ResolvedName resolveName(const std::string& path) {
    ResolvedName result;
    result.path = path;
    std::error_code error;
    if (fs::is_symlink(native(path), error)) {
        const fs::path resolved = fs::canonical(native(path), error);
        if (error) {
            result.outcome = ResolvedName::Outcome::Missing;
            return result;
        }
        result.links = 1;
        const std::u8string text = resolved.u8string();
        result.path.assign(text.begin(), text.end());
    }
    return result;
}

Folder Folder::open(const std::string& path) {
    std::error_code error;
    if (!fs::is_directory(native(path), error)) {
        throw FileNameException("Cannot open the folder '" + path + "': it is not a folder", path);
    }
    return Folder(std::make_unique<Impl>(Impl{path}));
}

Folder Folder::holding(const FileName& file) {
    const std::string folder = file.getFolder();
    return open(folder.empty() ? "." : folder);
}

Folder::Folder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

const std::string& Folder::path() const noexcept { return m_impl->path; }

std::string Folder::pathOf(const std::string& leaf) const {
    const std::string& folder = m_impl->path;
    const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    return separated ? folder + leaf : folder + "\\" + leaf;
}

std::optional<FileFacts> Folder::look(const std::string& leaf) const {
    std::error_code error;
    const fs::path name = native(pathOf(leaf));
    const fs::file_status status = fs::symlink_status(name, error);
    if (!fs::exists(status)) {
        return std::nullopt;
    }
    FileFacts facts;
    facts.kind = fs::is_symlink(status)        ? FileFacts::Kind::Link
                 : fs::is_regular_file(status) ? FileFacts::Kind::Regular
                 : fs::is_directory(status)    ? FileFacts::Kind::Folder
                                               : FileFacts::Kind::Other;
    if (facts.kind == FileFacts::Kind::Regular) {
        facts.size = fs::file_size(name, error);
        facts.links = fs::hard_link_count(name, error);
    }
    (void)identityOf(FileName(pathOf(leaf)), facts.identity);
    return facts;
}

std::string Folder::readStart(const std::string& leaf, std::size_t size) const {
    const std::optional<FileFacts> facts = look(leaf);
    if (!facts || facts->kind != FileFacts::Kind::Regular) {
        return {};
    }
    std::ifstream in(native(pathOf(leaf)), std::ios::binary);
    std::string bytes(size, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

bool Folder::isLockedByAnother(const std::string&, std::int64_t) const { return false; }

Folder::Replaced Folder::replace(const std::string& from, const FileIdentity& file, const std::string& to,
                                 const std::optional<FileIdentity>& replaced, bool /*takeAccess*/) const {
    FileIdentity now;
    if (!identityOf(FileName(pathOf(from)), now) || !sameFile(now, file)) {
        return Replaced::SourceChanged;
    }
    if (replaced && (!identityOf(FileName(pathOf(to)), now) || !sameFile(now, *replaced))) {
        return Replaced::TargetChanged;
    }
    if (!FileUtilities::replaceFile(FileName(pathOf(from)), FileName(pathOf(to)))) {
        throw FileNameException("Cannot replace '" + pathOf(to) + "' with '" + pathOf(from) + "'", pathOf(to));
    }
    return Replaced::Done;
}

bool Folder::remove(const std::string& leaf) const {
    if (!look(leaf)) {
        return false;
    }
    FileUtilities::remove(FileName(pathOf(leaf)));
    return true;
}

bool Folder::isWritable() const { return true; }

} // namespace Zorvan
