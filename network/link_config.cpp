#include "network/link_config.h"


#include <cstdlib>

namespace KNetwork {

namespace {

// Nine printable characters that both sides build into their secret. Kept
// in pieces so the text never stands whole in the binary.
std::string secretSuffix()
{
    static const char head[] = {'k', '7', 'Q', 'x'};
    static const char tail[] = {'#', 'v', '2', 'L', 'p'};
    std::string suffix(head, sizeof head);
    suffix.append(tail, sizeof tail);
    return suffix;
}

} // namespace

std::string groupContainerPath(const std::string &groupIdentifier)
{
    const char *home = std::getenv("HOME");
    // An empty HOME would put the container at the file-system root.
    if (!home || !*home || groupIdentifier.empty())
        return {};
    return std::string(home) + "/Library/Group Containers/" + groupIdentifier;
}

std::string linkSocketPath(const std::string &mainAppName)
{
    return groupContainerPath(kAppGroupIdentifier) + "/" + mainAppName + ".sock";
}

std::string linkSecret(const std::string &appIdPrefix, const std::string &platformUUID)
{
    return platformUUID + appIdPrefix + secretSuffix();
}

} // namespace KNetwork
