#include "ui/limitation_alert.h"

#include "core/app.h"
#include "ui/message_box.h"

#include <atomic>

namespace KSystem {

void showSystemLimitationAndQuit()
{
    static std::atomic<bool> shown{false};
    if (shown.exchange(true))
        return;
    std::string name;
    if (KCore::App *app = KCore::App::instance())
        name = app->bundleName();
    std::string message = name
        + "\n\nAccessibility permission granted, but system limitation prevents functionality. "
          "Application will now exit";
    KUI::MessageBox::showMessage(message, "", KUI::MessageBox::Informational, {"OK"});
    KCore::App::quit();
}

} // namespace KSystem
