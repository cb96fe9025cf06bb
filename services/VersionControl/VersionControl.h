#pragma once
/// @file
/// VersionControl: the source revision the running software was built from,
/// as recorded by the build ("3f2c1ab", "3f2c1ab-dirty" for a tree with
/// uncommitted changes, "unknown" for a build outside version control, or
/// what a release build set).
///
/// Thread-safety: all operations may be called concurrently.

#include <string>

#include "VersionControl/VersionControlExport.h"

class SERVICES_VERSIONCONTROL_EXPORT VersionControl {
public:
    VersionControl();
    ~VersionControl();

    std::string getRootRevisionAsString() const;
};
