#pragma once

#include "platform/pointer.h"

#include <memory>
#include <optional>
#include <string>

// The helper's only Wayland code: what a compositor offers this process, and
// the pointer moves through its injection interface. XTEST through XWayland
// never reaches native windows, so on Wayland these are the only moves.
namespace WaylandInput {

enum class Route {
    None,
    VirtualPointer, // wlroots: zwlr_virtual_pointer_manager_v1
    FakeInput,      // KWin: org_kde_kwin_fake_input, shown only to programs its desktop entries allow
};

struct Offer {
    Platform::Desktop desktop = Platform::Desktop::OtherWayland;
    Route route = Route::None;
};

// WAYLAND_DISPLAY or WAYLAND_SOCKET is set: the session is a Wayland one.
bool displayConfigured();
// The display as messages name it: WAYLAND_DISPLAY, else "wayland-0".
std::string displayName();
// A connection opens (and is closed again at once).
bool displayReachable();

// A fresh connection's look at the globals offered to this process; the
// connection is closed again. Nothing when none can be opened.
std::optional<Offer> probe();

// Ends the process at once: one line naming the display on stderr, status 1.
[[noreturn]] void exitForLostDisplay();

// One connection to the compositor for as long as it works: the outputs'
// logical layout, followed as it changes, and one injection device, kept
// for the connection's life (making one makes every client re-enter). Its
// events are read on the loop; moves are sent once per batch (flush()). A
// full socket is never queued on without bound: moves wait in order until it
// drains, up to 65,536 of them; beyond that the newest replaces the last.
// The compositor going away ends the process (exitForLostDisplay); a
// protocol error only ends the session. Main thread only, once the App
// exists.
class PointerSession {
public:
    // Nothing when no connection opens or it offers no injection interface;
    // what a connection found is in *found (nothing without one).
    static std::unique_ptr<PointerSession> open(std::optional<Offer> *found);
    ~PointerSession();
    PointerSession(const PointerSession &) = delete;
    PointerSession &operator=(const PointerSession &) = delete;

    bool usable() const;
    Route route() const;
    void post(double x, double y);
    void flush();

    struct Impl;

private:
    explicit PointerSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};

} // namespace WaylandInput
