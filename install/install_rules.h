#pragma once

#include <functional>
#include <string>

// The names and places that installation derives from the helper's bundle,
// the messages it shows, and the check that moves the bundle into place.
// Pure rules: the caller supplies the bundle's values and the file system.
namespace KInstall {

// The text without the suffix when it ends with it (exact, once).
std::string removeSuffix(const std::string &text, const std::string &suffix);

// The main app's name: the helper's bundle name without " Helper".
std::string containerAppNameFor(const std::string &helperName);

// The main app's identifier: the helper's without ".helper".
std::string containerInstallBundleIdFor(const std::string &helperBundleId);

// A leading "~" (alone or before "/") replaced by home; other paths as given.
// Empty when the path needs a home and home is empty or relative.
std::string expandTilde(const std::string &path, const std::string &home);

// "~/Library/Containers/<main app id>", expanded; empty without a usable home
// or without an identifier.
std::string containerInstallPathFor(const std::string &helperBundleId, const std::string &home);

// The last component of a bundle path ("Tessaron Helper.app"); trailing
// slashes are not a component.
std::string bundleFileNameFor(const std::string &bundlePath);

// "<container>/Data/Library/Application Support/<bundle file name>"; empty
// when either part is empty, so no caller ever aims at the folder itself.
std::string completeInstallPathFor(const std::string &containerInstallPath, const std::string &bundleFileName);

// "<applications folder>/<main app name>.app".
std::string productAppBundlePathFor(const std::string &applicationsFolder, const std::string &appName);

// The outcome of the check; an int because it travels as one.
enum InstallResult : int {
    Unknown = 0,
    ProductMissing = 1,
    RemoveFailed = 2,
    MoveFailed = 3,
    Installed = 4,
    AlreadyInstalled = 5,
};

inline constexpr char kSupportAddress[] = "support@tessaron.pro";

// The alert text for a result; empty for AlreadyInstalled and unknown values,
// which show nothing.
std::string installMessage(int result, const std::string &appName, const std::string &bundleName);

// "<name> v<short version> (<bundle version>)".
std::string installAlertTitle(const std::string &bundleName, const std::string &shortVersion,
    const std::string &bundleVersion);

// What the check asks of the file system. Every operation gets whole paths;
// a failure is false, never an exception.
struct InstallFileSystem {
    std::function<bool(const std::string &)> isDirectory; // follows symbolic links
    std::function<bool(const std::string &)> exists;      // a dangling link exists
    // The same spelling, or both paths reach the same file.
    std::function<bool(const std::string &, const std::string &)> isSameFile;
    std::function<bool(const std::string &)> removeAll;
    std::function<bool(const std::string &, const std::string &)> move;
};

// Moves the running bundle to the target unless it already runs from there.
// Only the product path is checked for the main app; no folder is created:
// the target's parent must already be a folder. An empty bundle or target
// path (no bundle, no home) gives Unknown and touches nothing.
int ensureInstalled(const std::string &bundlePath, const std::string &targetPath,
    const std::string &productPath, const InstallFileSystem &fs);

} // namespace KInstall
