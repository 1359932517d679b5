#pragma once

namespace Platform {

// The desktop the pointer was last found on; the guidance window explains
// what to do there.
enum class Desktop {
    X11,
    Wlroots,       // sway, Hyprland, river, labwc, Wayfire: wlroots' virtual pointer
    KdePlasma,     // KWin: its fake input, for programs its desktop entries allow
    Gnome,         // Mutter
    OtherWayland,  // a compositor that offers no injection interface we know
};

// The desktop's pointer as the helper uses it: the input permission and the
// moves themselves. One implementation per display system.
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
    // Where the last check of the permission found the helper.
    virtual Desktop desktop() = 0;
};

} // namespace Platform
