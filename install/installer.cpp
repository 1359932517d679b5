#include "install/installer.h"

#include "core/app.h"
#include "core/bundle_info.h"
#include "install/bundle_mover.h"
#include "install/install_rules.h"
#include "install/launcher.h"
#include "install/url_registration.h"
#include "ui/message_box.h"
#include "platform/host.h"

#include <cstdlib>

namespace {

std::string helperBundleId()
{
    KCore::App *app = KCore::App::instance();
    return app ? app->bundleIdentifier() : KCore::mainBundleInfoValue("CFBundleIdentifier");
}

std::string home()
{
    const char *value = std::getenv("HOME");
    return value ? std::string(value) : std::string();
}

// A failure here never stands in the way of the helper's job, and says nothing.
void registerURLHandlerOf(const std::string &bundle)
{
    const std::string executable = KCore::bundleExecutablePath(bundle);
    KCore::App *app = KCore::App::instance();
    if (!executable.empty() && app)
        KInstall::registerURLHandler(executable, app->bundleName(), app->bundleIdentifier() + ".desktop",
            KInstall::registrationPlaces(home(), std::getenv("XDG_DATA_HOME"), std::getenv("XDG_CONFIG_HOME")));
}

std::string productAppBundlePath(const std::string &appName)
{
    KCore::App *app = KCore::App::instance();
    return app ? KInstall::productAppBundlePathFor(app->host().applicationsFolder(), appName) : std::string();
}

} // namespace

std::string containerAppName()
{
    KCore::App *app = KCore::App::instance();
    return KInstall::containerAppNameFor(app ? app->bundleName() : std::string());
}

std::string completeInstallPath()
{
    return KInstall::completeInstallPathFor(KInstall::containerInstallPathFor(helperBundleId(), home()),
        KInstall::bundleFileNameFor(KCore::mainBundlePath()));
}

int ensureHelperInstalled()
{
    const std::string target = completeInstallPath();
    // A run killed while copying left a hidden partial copy; nothing else would.
    if (!target.empty())
        KInstall::removeStaleCopies(target);
    return KInstall::ensureInstalled(KCore::mainBundlePath(), target, productAppBundlePath(containerAppName()),
        KInstall::systemFileSystem());
}

void registerRunningHelper()
{
    const std::string bundle = KCore::mainBundlePath();
    if (!bundle.empty())
        registerURLHandlerOf(bundle);
}

bool install(std::shared_ptr<KUI::MessageBox> &messageBox)
{
    KCore::App &app = *KCore::App::instance();
    // Read before the check: once the bundle has moved, its Info.plist is
    // no longer where the running program's path says.
    std::string appName = containerAppName();
    std::string bundleName = app.bundleName();
    std::string title = KInstall::installAlertTitle(bundleName, app.bundleShortVersion(), app.bundleVersion());
    std::string installed = completeInstallPath();
    int result = ensureHelperInstalled();
    // Links of the helper's scheme reach the installed copy.
    if (result == KInstall::Installed || result == KInstall::AlreadyInstalled)
        registerURLHandlerOf(installed);
    std::string message = KInstall::installMessage(result, appName, bundleName);
    if (message.empty())
        return true;

    messageBox = std::make_shared<KUI::MessageBox>();
    messageBox->setTitle(title);
    // Without a place there is no icon to point at: the default one shows.
    if (!installed.empty())
        messageBox->setIcon(installed + "/Contents/Resources/AppIcon.icns");
    messageBox->setMessageText(message);
    bool installedNow = result == KInstall::Installed;
    messageBox->show([installedNow, appName](int) {
        // Only a fresh installation starts the main app; every answer quits.
        if (installedNow)
            launchApplication(productAppBundlePath(appName), true, false);
        KCore::App::quit();
    });
    return false;
}
