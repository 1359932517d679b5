#include "install/installer.h"

#include "app/app.h"
#include "install/install_rules.h"

std::string containerAppName()
{
    KCore::App *app = KCore::App::instance();
    return KInstall::containerAppNameFor(app ? app->bundleName() : std::string());
}
