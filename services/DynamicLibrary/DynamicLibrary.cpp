#include "DynamicLibrary/DynamicLibrary.h"

namespace Zorvan {

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_file(std::move(other.m_file)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, nullptr);
        m_file = std::move(other.m_file);
    }
    return *this;
}

} // namespace Zorvan
