#include "install/launcher.h"

#include "core/app.h"
#include "platform/host.h"

void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance)
{
    if (KCore::App *app = KCore::App::instance())
        app->host().launchApplication(bundlePath, activates, createsNewInstance);
}
