#pragma once

#include <memory>
#include <string>

// The helper's only X11 code: the display's answers to the input permission
// and the pointer events themselves.
namespace X11Input {

// Opens and closes the default display; on failure names the display tried
// (empty when DISPLAY is not set).
bool displayReachable(std::string *displayName);

// Ends the process at once: one line naming the display on stderr, status 1.
[[noreturn]] void exitForLostDisplay();
// From now on a broken connection to the display, on any Xlib connection of
// the process, ends it with exitForLostDisplay().
void exitWhenAnyConnectionBreaks();

// The display is reachable and offers the XTEST extension.
bool displayOffersXTest();

// A connection can select raw pointer motion on the root window (XInput 2).
// Both checks share one connection, kept while its server lives and DISPLAY
// names it; each call costs one round trip on it. Main thread only.
bool canListenToRawMotion();

// Posts pointer motion through XTEST on one display connection kept for the
// helper's life and reopened when it breaks. The server makes a motion a drag
// by itself while button 1 is down, so no button state is followed here.
// A point is placed on the RandR monitors (KCore::placePoint: the origin is
// the primary monitor's corner); without RandR 1.5 the root window is the
// one monitor. Layout changes arrive as RandR and root notifications on the
// same connection and are read once per batch of moves; flush() ends a batch.
class PointerPoster {
public:
    PointerPoster();
    ~PointerPoster();
    PointerPoster(const PointerPoster &) = delete;
    PointerPoster &operator=(const PointerPoster &) = delete;

    // Queued on the connection; flush() sends what is queued.
    void post(double x, double y);
    void flush();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace X11Input
