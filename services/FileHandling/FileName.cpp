#include "FileHandling/FileName.h"

#include <algorithm>

namespace Zorvan {
namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

} // namespace

FileName::FileName(const std::string& path) : m_path(path) {}
FileName::FileName(const char* path) : m_path(path ? path : "") {}
FileName::FileName(const FileName& other) = default;
FileName& FileName::operator=(const FileName& other) = default;
FileName::~FileName() = default;

std::string::size_type FileName::leafStart() const {
    const auto last = m_path.find_last_of(kSeparators);
    return last == std::string::npos ? 0 : last + 1;
}

std::string FileName::getLeafName() const { return m_path.substr(leafStart()); }

std::string FileName::getFolder() const { return m_path.substr(0, leafStart()); }

std::string FileName::getExtension() const {
    const std::string leaf = getLeafName();
    // "." and ".." refer to folders; treating them as all extension makes
    // them nameless, like a leaf such as ".zvd".
    if (std::all_of(leaf.begin(), leaf.end(), [](char c) { return c == '.'; })) {
        return leaf;
    }
    const auto dot = leaf.rfind('.');
    return dot == std::string::npos ? std::string() : leaf.substr(dot);
}

void FileName::replaceExtension(const std::string& extension) {
    m_path.resize(m_path.size() - getExtension().size());
    m_path += extension;
}

std::string FileName::toNativeString() const { return m_path; }

std::string folderOf(const FileName& name) {
    const std::string folder = name.getFolder();
    return folder.empty() ? "." : folder;
}

bool FileName::operator==(const FileName& other) const { return m_path == other.m_path; }
bool FileName::operator!=(const FileName& other) const { return !(*this == other); }

} // namespace Zorvan
