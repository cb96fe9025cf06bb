#include "VersionControl/VersionControl.h"

namespace zv_build {
extern const char* const kRevision;
}

VersionControl::VersionControl() = default;
VersionControl::~VersionControl() = default;

std::string VersionControl::getRootRevisionAsString() const { return zv_build::kRevision; }
