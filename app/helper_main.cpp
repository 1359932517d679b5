#include "app/helper_main.h"

#include "core/app.h"
#include "core/startup.h"
#include "app/unsupported_notice.h"
#include "app/wiring.h"
#include "ui/message_box.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/pointer_wayland.h"
#include "platform/linux/pointer_x11.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Qt aborts when its platform finds no display; say which one we tried.
// Without an X display Qt's windows go to the Wayland one; *qtPlatform is
// the platform Qt must take, when it must.
bool displayUsable(const char **qtPlatform)
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0)
        return true;
    const bool wayland = WaylandInput::displayConfigured();
    const bool waylandWindows = std::getenv("WAYLAND_DISPLAY") && WaylandInput::displayReachable();
    const bool chosen = platform && *platform;
    std::string tried;
    if (X11Input::displayReachable(&tried)) {
        // Qt would try a named Wayland display first, and say so when it fails.
        if (!waylandWindows && !chosen)
            *qtPlatform = "xcb";
        return true;
    }
    if (waylandWindows && !chosen) {
        *qtPlatform = "wayland";
        return true;
    }
    std::string line = "cannot open ";
    if (wayland)
        line += "Wayland display \"" + WaylandInput::displayName() + "\", nor ";
    line += tried.empty() ? "X display: DISPLAY is not set" : "X display \"" + tried + "\"";
    std::fprintf(stderr, "tessaron-helper: %s\n", line.c_str());
    return false;
}

} // namespace

int helperMain(int argc, char **argv, Platform::Host &host, Platform::Pointer &pointer)
{
    const char *qtPlatform = nullptr;
    if (!displayUsable(&qtPlatform))
        return 1;

    // Only for Qt: what the helper launches keeps the environment it had.
    if (qtPlatform)
        ::setenv("QT_QPA_PLATFORM", qtPlatform, 1);
    auto app = std::make_shared<KCore::App>(argc, argv, host);
    if (qtPlatform)
        ::unsetenv("QT_QPA_PLATFORM");
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
