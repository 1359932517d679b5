#pragma once

#include "platform/host.h"
#include "platform/pointer.h"

#include <memory>

namespace X11Input {
class PointerPoster;
}

namespace Platform {

// The real host on a Linux desktop: the build's stand-in OS version, the
// machine id, the desktop's URL handler and a detached process for an
// application. Main thread, once the App exists, for openURL.
class LinuxHost final : public Host {
public:
    OSVersion osVersion() override;
    std::string platformUUID() override;
    void openURL(const std::string &url) override;
    void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance) override;
    std::string applicationsFolder() override;
    std::string executablePath() override;
    unsigned userId() override;
};

// Ends the helper when its X display goes away, on its own connections and
// on Qt's: one line naming the display, status 1; the link closes with the
// process. Call once the App exists.
void exitWhenDisplayLost();

// The pointer on an X11 display: XTEST motion on one kept connection,
// flushed once per turn of the loop rather than per move.
// Main thread only, once the App exists.
class X11Pointer final : public Pointer {
public:
    X11Pointer();
    ~X11Pointer() override;

    bool isAccessibilityTrusted() override;
    bool canCreateEventTap() override;
    void postPointerMove(double x, double y) override;

private:
    std::unique_ptr<X11Input::PointerPoster> poster;
    bool flushQueued = false;
};

} // namespace Platform
