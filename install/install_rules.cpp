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

std::string containerInstallBundleIdFor(const std::string &helperBundleId)
{
    return removeSuffix(helperBundleId, ".helper");
}

std::string expandTilde(const std::string &path, const std::string &home)
{
    if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/'))
        return path;
    // A relative home would make the container relative to wherever we run.
    if (home.empty() || home[0] != '/')
        return {};
    std::string base = home;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base == "/" && path.size() > 1)
        base.clear();
    return base + path.substr(1);
}

std::string containerInstallPathFor(const std::string &helperBundleId, const std::string &home)
{
    // No identifier would make the container the Containers folder itself.
    std::string id = containerInstallBundleIdFor(helperBundleId);
    return id.empty() ? std::string() : expandTilde("~/Library/Containers/" + id, home);
}

std::string bundleFileNameFor(const std::string &bundlePath)
{
    std::string path = bundlePath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path == "/")
        return {};
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string completeInstallPathFor(const std::string &containerInstallPath, const std::string &bundleFileName)
{
    if (containerInstallPath.empty() || bundleFileName.empty())
        return {};
    std::string base = containerInstallPath;
    if (base.back() != '/')
        base += '/';
    return base + "Data/Library/Application Support/" + bundleFileName;
}

std::string productAppBundlePathFor(const std::string &applicationsFolder, const std::string &appName)
{
    return applicationsFolder + "/" + appName + ".app";
}

std::string installMessage(int result, const std::string &appName, const std::string &bundleName)
{
    const std::string support = kSupportAddress;
    switch (result) {
    case Unknown:
        return "An unknown error occurred. Please report this to " + support + ".";
    case ProductMissing:
        return appName
            + " is not installed. Please download it from the Mac App Store, launch it at least once, then run this "
              "helper again.";
    case RemoveFailed:
        return "Please quit '" + appName
            + "' and run this helper again to complete the installation. If that doesn't help, please report the "
              "issue to "
            + support + ".";
    case MoveFailed:
        return "Installation failed. Please quit '" + appName
            + "' and run this helper again to complete the installation. If the problem persists, please report it "
              "to "
            + support + ".";
    case Installed:
        return bundleName + " has been installed into the " + appName + " app container.";
    default:
        return {};
    }
}

std::string installAlertTitle(const std::string &bundleName, const std::string &shortVersion,
    const std::string &bundleVersion)
{
    return bundleName + " v" + shortVersion + " (" + bundleVersion + ")";
}

int ensureInstalled(const std::string &bundlePath, const std::string &targetPath,
    const std::string &productPath, const InstallFileSystem &fs)
{
    if (!fs.isDirectory(productPath))
        return ProductMissing;
    if (bundlePath.empty() || targetPath.empty())
        return Unknown;
    // By identity too: a target reached through a link or another spelling
    // may be the very bundle we run from, and must never be removed.
    if (bundlePath == targetPath || fs.isSameFile(bundlePath, targetPath))
        return AlreadyInstalled;
    std::string parent = targetPath.substr(0, targetPath.rfind('/'));
    if (parent.empty() || !fs.isDirectory(parent))
        return ProductMissing;
    if (fs.exists(targetPath) && !fs.removeAll(targetPath))
        return RemoveFailed;
    return fs.move(bundlePath, targetPath) ? Installed : MoveFailed;
}

} // namespace KInstall
