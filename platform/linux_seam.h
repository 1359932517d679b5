#pragma once

#include "platform/seam.h"

namespace Platform {

// The real answers on a Linux desktop: X11 for the input permission, the
// desktop's URL handler. Main installs one with setSystemSeam.
class LinuxSeam : public Seam {
public:
    bool isAccessibilityTrusted() override;
    bool canCreateEventTap() override;
    void openURL(const std::string &url) override;
};

} // namespace Platform
