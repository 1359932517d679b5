#pragma once

#include "platform/seam.h"

#include <string>

using OSVersion = Platform::OSVersion;

// The running system's version, and the same as "major.minor.patch".
OSVersion osVersion();
std::string osVersionString();

namespace KCore {

// The bundle identifier without its last "."-separated component
// ("a.b.c.helper" gives "a.b.c"); one without a dot is kept whole.
std::string bundleIdentifierPrefix(const std::string &identifier);

// The helper runs on 10.10 to 10.13 only.
bool isSupportedSystem(const OSVersion &version);

} // namespace KCore
