#include "app/unsupported_notice.h"

#include "core/app.h"
#include "install/install_rules.h"
#include "install/installer.h"
#include "ui/message_box.h"

void showUnsupportedNotice(std::shared_ptr<KUI::MessageBox> &messageBox)
{
    KCore::App &app = *KCore::App::instance();
    messageBox = std::make_shared<KUI::MessageBox>();
    messageBox->setTitle(KInstall::installAlertTitle(app.bundleName(), app.bundleShortVersion(), app.bundleVersion()));
    messageBox->setMessageText(app.bundleName()
        + " is only compatible with\nmacOS 10.10, 10.11, 10.12, and 10.13.\n\n"
          "If you're running macOS 10.14 or later, please download the full app using the button below.");
    messageBox->addButton("OK");
    int download = messageBox->addButton("Download " + containerAppName());
    messageBox->show([download](int result) {
        if (result == download) {
            if (KCore::App *current = KCore::App::instance())
                current->openURL(kProductSiteURL);
        }
        KCore::App::quit();
    });
}
