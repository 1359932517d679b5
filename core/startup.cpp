#include "core/startup.h"

namespace KCore {

std::string versionString(const OSVersion &v)
{
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

std::string bundleIdentifierPrefix(const std::string &identifier)
{
    std::string prefix = identifier;
    std::size_t dot = prefix.rfind('.');
    if (dot != std::string::npos)
        prefix.erase(dot);
    return prefix;
}

bool isSupportedSystem(const OSVersion &version)
{
    // Unsigned, so minors below 10 wrap far above the range.
    return version.major == 10 && static_cast<std::uint64_t>(version.minor - 10) < 4;
}

} // namespace KCore
