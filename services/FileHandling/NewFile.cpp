// What NewFile does the same way on every system; creating, identifying
// and removing files is in NewFilePosix.cpp and NewFileWindows.cpp.

#include "FileHandling/NewFile.h"

#include <utility>

#include "Common/Process.h"

namespace Zorvan {

NewFile::NewFile(FileName name, FileIdentity identity)
    : m_name(std::move(name)), m_identity(identity), m_process(internal::currentProcess()) {}

NewFile::NewFile(NewFile&& other) noexcept
    : m_name(other.m_name), m_identity(other.m_identity), m_released(other.m_released), m_process(other.m_process) {
    other.m_released = true;
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        if (m_process == internal::currentProcess()) {
            discard();
        }
        m_name = other.m_name;
        m_identity = other.m_identity;
        m_released = other.m_released;
        m_process = other.m_process;
        other.m_released = true;
    }
    return *this;
}

NewFile::~NewFile() {
    if (m_process == internal::currentProcess()) {
        discard();
    }
}

bool NewFile::unchanged() const {
    FileIdentity now;
    return identityOf(m_name, now) && now == m_identity;
}

} // namespace Zorvan
