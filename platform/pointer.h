#pragma once

namespace Platform {

// The desktop's pointer as the helper uses it: the input permission and the
// moves themselves. One implementation per display system (X11 today).
class Pointer {
public:
    virtual ~Pointer() = default;
    // The helper may inject input.
    virtual bool isAccessibilityTrusted() = 0;
    // A fresh look at raw pointer motion works: the permission is usable.
    virtual bool canCreateEventTap() = 0;
    // One move to (x, y), in pixels of the desktop's global space. While
    // the left button is down the display server makes it a drag itself.
    virtual void postPointerMove(double x, double y) = 0;
};

} // namespace Platform
