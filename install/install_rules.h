#pragma once

#include <string>

// The names and places that installation derives from the helper's bundle.
// Pure rules: the caller supplies the bundle's values.
namespace KInstall {

// The text without the suffix when it ends with it (exact, once).
std::string removeSuffix(const std::string &text, const std::string &suffix);

// The main app's name: the helper's bundle name without " Helper".
std::string containerAppNameFor(const std::string &helperName);

} // namespace KInstall
