#include "install/install_rules.h"

namespace KInstall {

std::string removeSuffix(const std::string &text, const std::string &suffix)
{
    if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
        return text.substr(0, text.size() - suffix.size());
    return text;
}

std::string containerAppNameFor(const std::string &helperName)
{
    return removeSuffix(helperName, " Helper");
}

} // namespace KInstall
