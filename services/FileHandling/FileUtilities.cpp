#include "FileHandling/FileUtilities.h"

#include <utility>

#include "Common/ServiceSlot.h"

namespace Zorvan {
namespace {

internal::ServiceSlot<FileSystem>& fileSystemSlot() {
    static internal::ServiceSlot<FileSystem> instance(nativeFileSystem());
    return instance;
}

} // namespace

bool FileUtilities::exists(const FileName& name, bool followSymlinks) {
    return fileSystemSlot().get()->exists(name, followSymlinks);
}

bool FileUtilities::isReadOnly(const FileName& name) { return fileSystemSlot().get()->isReadOnly(name); }

void FileUtilities::remove(const FileName& name) { fileSystemSlot().get()->remove(name); }

bool FileUtilities::replaceFile(const FileName& source, const FileName& destination) {
    return fileSystemSlot().get()->replaceFile(source, destination);
}

std::shared_ptr<FileSystem> FileUtilities::setFileSystem(std::shared_ptr<FileSystem> fileSystem) {
    return fileSystemSlot().exchange(fileSystem ? std::move(fileSystem) : nativeFileSystem());
}

std::shared_ptr<FileSystem> FileUtilities::fileSystem() { return fileSystemSlot().get(); }

ScopedFileSystem::ScopedFileSystem(std::shared_ptr<FileSystem> fileSystem)
    : m_previous(FileUtilities::setFileSystem(std::move(fileSystem))) {}
ScopedFileSystem::~ScopedFileSystem() { FileUtilities::setFileSystem(std::move(m_previous)); }

} // namespace Zorvan
