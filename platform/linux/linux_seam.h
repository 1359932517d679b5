#pragma once

#include "platform/seam.h"

#include <memory>

namespace X11Input {
class PointerPoster;
}

namespace Platform {

// The real answers on a Linux desktop: X11 for the input permission and the
// pointer, the desktop's URL handler, a detached process for an application. Main installs one with setSystemSeam.
// Main thread only, once the App exists.
class LinuxSeam : public Seam {
public:
    LinuxSeam();
    ~LinuxSeam() override;

    bool isAccessibilityTrusted() override;
    bool canCreateEventTap() override;
    void postPointerMove(double x, double y) override;
    void flushPointerEvents() override;
    void openURL(const std::string &url) override;
    void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance) override;

private:
    std::unique_ptr<X11Input::PointerPoster> poster;
    bool flushQueued = false;
};

} // namespace Platform
