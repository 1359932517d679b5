#pragma once

#include <string>

// Where the link to the main app lives and how it is authenticated. Shared
// by the helper and the stand-in main app, which must agree on all of it.
namespace KNetwork {

// The application group the helper shares with the main app.
inline constexpr const char *kAppGroupIdentifier = "group.pro.tessaron.shared";

// The group's container: there are no application groups on Linux, so this
// is HOME + "/Library/Group Containers/" + the identifier. Empty without
// HOME or without an identifier.
std::string groupContainerPath(const std::string &groupIdentifier);

// The socket the main app listens on: the group container, then
// "/" + the main app's name + ".sock".
std::string linkSocketPath(const std::string &mainAppName);

// The handshake secret: the machine's UUID text (empty when it cannot be
// read), the bundle-identifier prefix and the fixed suffix, joined. Built on
// demand and handed straight to the link; never store, log or send it.
std::string linkSecret(const std::string &appIdPrefix, const std::string &platformUUID);

} // namespace KNetwork
