#include "app/helper_main.h"

#include "core/app.h"
#include "core/startup.h"
#include "app/unsupported_notice.h"
#include "app/wiring.h"
#include "ui/message_box.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/pointer_x11.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Qt aborts when its X platform finds no display; say which one we tried.
bool displayUsable()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0)
        return true;
    std::string tried;
    if (X11Input::displayReachable(&tried))
        return true;
    if (tried.empty())
        std::fprintf(stderr, "tessaron-helper: cannot open X display: DISPLAY is not set\n");
    else
        std::fprintf(stderr, "tessaron-helper: cannot open X display \"%s\"\n", tried.c_str());
    return false;
}

} // namespace

int helperMain(int argc, char **argv, Platform::Host &host, Platform::Pointer &pointer)
{
    if (!displayUsable())
        return 1;

    auto app = std::make_shared<KCore::App>(argc, argv, host);
    Platform::exitWhenDisplayLost();
    KCore::App::setActivationPolicy(1);
    std::string appIdPrefix = KCore::bundleIdentifierPrefix(app->bundleIdentifier());
    OSVersion version = osVersion();

    if (!KCore::isSupportedSystem(version)) {
        std::shared_ptr<KUI::MessageBox> messageBox;
        showUnsupportedNotice(messageBox);
        app->run();
        return 1;
    }

    Wiring wiring(appIdPrefix, host, pointer);
    wiring.setUp(*app);
    app->run();
    return 0;
}
