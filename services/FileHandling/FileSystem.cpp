#include "FileHandling/FileSystem.h"

#include <utility>

namespace Zorvan {

FileSystem::~FileSystem() = default;

FileSystemWrapper::FileSystemWrapper(std::shared_ptr<FileSystem> target) : m_target(std::move(target)) {}
FileSystemWrapper::~FileSystemWrapper() = default;

bool FileSystemWrapper::exists(const FileName& name, bool followSymlinks) {
    return m_target->exists(name, followSymlinks);
}
bool FileSystemWrapper::isReadOnly(const FileName& name) { return m_target->isReadOnly(name); }
void FileSystemWrapper::remove(const FileName& name) { m_target->remove(name); }
bool FileSystemWrapper::replaceFile(const FileName& source, const FileName& destination) {
    return m_target->replaceFile(source, destination);
}

} // namespace Zorvan
