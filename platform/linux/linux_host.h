#pragma once

#include "platform/host.h"
#include "platform/pointer.h"

#include <memory>
#include <string>

namespace X11Input {
class PointerPoster;
}
namespace WaylandInput {
class PointerSession;
}
namespace GnomeInput {
class PointerSession;
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

// Ends the helper when its X display or Wayland compositor goes away, on its
// own connections and on Qt's: one line naming the display, status 1; the
// link closes with the process. Call once the App exists.
void exitWhenDisplayLost();

// The pointer of this desktop. On a Wayland session (a reachable
// WAYLAND_DISPLAY or WAYLAND_SOCKET) the compositor's injection interface
// (wlroots', then KWin's), else Mutter's remote desktop on the session bus;
// never XTEST: through XWayland it would reach no native window. Without
// Wayland, XTEST on one kept X connection. The route is chosen anew at each
// check of the permission. Moves are flushed once per turn of the loop.
// Main thread only, once the App exists.
class DesktopPointer final : public Pointer {
public:
    DesktopPointer();
    ~DesktopPointer() override;

    bool isAccessibilityTrusted() override;
    bool canCreateEventTap() override;
    void postPointerMove(double x, double y) override;
    Desktop desktop() override;

private:
    std::unique_ptr<X11Input::PointerPoster> x11;
    std::unique_ptr<WaylandInput::PointerSession> wayland;
    std::unique_ptr<GnomeInput::PointerSession> gnome;
    // Why Mutter last refused a session; said once.
    std::string refusal;
    Desktop found = Desktop::X11;
    bool handedOver = false;
    bool flushQueued = false;
};

} // namespace Platform
