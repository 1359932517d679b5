#pragma once

#include "platform/host.h"

#include <string>

using OSVersion = Platform::OSVersion;

namespace KCore {

// "major.minor.patch" in decimal, as std::to_string writes each.
std::string versionString(const OSVersion &version);

// The bundle identifier without its last "."-separated component
// ("a.b.c.helper" gives "a.b.c"); one without a dot is kept whole.
std::string bundleIdentifierPrefix(const std::string &identifier);

// The helper runs on 10.10 to 10.13 only.
bool isSupportedSystem(const OSVersion &version);

} // namespace KCore
