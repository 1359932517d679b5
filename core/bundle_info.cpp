#include "core/bundle_info.h"

#include "core/app.h"
#include "platform/host.h"


#include <filesystem>

namespace KCore {

std::string bundlePathForExecutable(const std::string &executable)
{
    std::filesystem::path exe(executable);
    std::filesystem::path macos = exe.parent_path();
    std::filesystem::path contents = macos.parent_path();
    std::filesystem::path bundle = contents.parent_path();
    if (exe.filename().empty() || macos.filename() != "MacOS" || contents.filename() != "Contents"
        || bundle.extension() != ".app" || bundle.filename() == ".app")
        return {};
    return bundle.string();
}

std::string mainBundlePath()
{
    App *app = App::instance();
    return app ? bundlePathForExecutable(app->host().executablePath()) : std::string();
}

std::string mainBundleInfoValue(const std::string &key)
{
    std::string bundle = mainBundlePath();
    if (bundle.empty())
        return {};
    auto values = readInfoPlist(bundle + "/Contents/Info.plist");
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

std::string bundleExecutablePath(const std::string &bundlePath)
{
    auto info = readInfoPlist(bundlePath + "/Contents/Info.plist");
    auto it = info.find("CFBundleExecutable");
    if (it == info.end())
        return {};
    const std::string &name = it->second;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return {};
    return bundlePath + "/Contents/MacOS/" + name;
}

} // namespace KCore
