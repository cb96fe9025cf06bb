#include "Platform/Core/Persistence/ZvFileIO/DesignIOModule.h"

#include <utility>

namespace Zorvan {

DesignIOModule::DesignIOModule(SerializationHandle handle, ZvFileWriteMode mode, bool doAction)
    : m_interface(std::move(handle)),
      m_writeMode(mode),
      m_doAction(mode == ZvFileWriteMode::Overwrite || mode == ZvFileWriteMode::UpdateAll || doAction) {}

DesignIOModule::DesignIOModule(const DesignIOModule& other) = default;

DesignIOModule::DesignIOModule(DesignIOModule&& other) noexcept
    : m_interface(std::move(other.m_interface)), m_writeMode(other.m_writeMode), m_doAction(other.m_doAction) {}

DesignIOModule::~DesignIOModule() = default;

bool DesignIOModule::doAction() const { return m_doAction; }

ZvFileWriteMode DesignIOModule::writeMode() const { return m_writeMode; }

void DesignIOModule::save(SerializationTransferObject& object) {
    if (!m_interface || !m_doAction) {
        return;
    }
    // A rewrite starts from an empty file, so there is nothing to update.
    if (m_writeMode != ZvFileWriteMode::Overwrite && m_interface->contains(object)) {
        m_interface->update(object);
        return;
    }
    m_interface->insert(object);
}

} // namespace Zorvan
