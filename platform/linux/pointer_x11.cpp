#include "platform/linux/pointer_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace X11Input {

namespace {

struct DisplayCloser {
    void operator()(Display *display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Xlib's defaults print and exit the process; a broken or refusing display
// must cost the helper its connection, never its life.
int ignoreError(Display *, XErrorEvent *)
{
    return 0;
}

int ignoreIOError(Display *)
{
    return 0;
}

DisplayPtr openDisplay()
{
    static bool quiet = [] {
        XSetErrorHandler(ignoreError);
        XSetIOErrorHandler(ignoreIOError);
        return true;
    }();
    (void)quiet;
    return DisplayPtr(XOpenDisplay(nullptr));
}

bool selectRawMotion(Display *display)
{
    int opcode, event, error;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error))
        return false;
    int major = 2, minor = 0;
    if (XIQueryVersion(display, &major, &minor) != Success)
        return false;
    unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    if (XISelectEvents(display, DefaultRootWindow(display), &mask, 1) != Success)
        return false;
    // A probe only: nothing reads this connection between checks.
    XIClearMask(bits, XI_RawMotion);
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    return true;
}

// The permission is checked every few seconds for the helper's life. A fresh
// connection costs a dozen round trips, each a wake-up; answers cannot change
// while one connection lives, so one is kept, and each check pays a single
// round trip to see the server still there. A server gone or another DISPLAY
// gets a fresh connection, as before.
struct Probe {
    DisplayPtr display;
    std::string name;
    bool broken = false;
    bool xtest = false;
    bool rawMotion = false;

    static void onIOErrorExit(Display *, void *self) { static_cast<Probe *>(self)->broken = true; }
};

Probe *liveProbe()
{
    static Probe probe;
    std::string name = XDisplayName(nullptr);
    if (probe.display && !probe.broken && probe.name == name) {
        XSync(probe.display.get(), True);
        if (!probe.broken)
            return &probe;
    }
    probe.display.reset();
    probe.broken = false;
    probe.display = openDisplay();
    if (!probe.display)
        return nullptr;
    Display *d = probe.display.get();
    probe.name = name;
    XSetIOErrorExitHandler(d, Probe::onIOErrorExit, &probe);
    int event, error, major, minor;
    probe.xtest = XTestQueryExtension(d, &event, &error, &major, &minor);
    probe.rawMotion = selectRawMotion(d);
    // Also drops any motion that came between selecting and clearing.
    XSync(d, True);
    return probe.broken ? nullptr : &probe;
}

} // namespace

void exitForLostDisplay()
{
    // Nothing else is safe here: Xlib may be inside a call of its own.
    std::fprintf(stderr, "tessaron-helper: lost the X display \"%s\"\n", XDisplayName(nullptr));
    std::fflush(stderr);
    ::_exit(1);
}

void exitWhenAnyConnectionBreaks()
{
    XSetIOErrorHandler([](Display *) -> int { exitForLostDisplay(); });
}

bool displayReachable(std::string *displayName)
{
    if (openDisplay())
        return true;
    if (displayName)
        *displayName = XDisplayName(nullptr);
    return false;
}

bool displayOffersXTest()
{
    Probe *probe = liveProbe();
    return probe && probe->xtest;
}

bool canListenToRawMotion()
{
    Probe *probe = liveProbe();
    return probe && probe->rawMotion;
}

bool toScreenPoint(double x, double y, int width, int height, ScreenPoint *out)
{
    if (std::isnan(x) || std::isnan(y) || width <= 0 || height <= 0)
        return false;
    // Clamped while still a double: no conversion ever sees a value it
    // cannot hold, and nothing wraps at 16 bits on the wire.
    double cx = std::clamp(std::round(x), 0.0, static_cast<double>(width - 1));
    double cy = std::clamp(std::round(y), 0.0, static_cast<double>(height - 1));
    out->x = static_cast<int>(cx);
    out->y = static_cast<int>(cy);
    return true;
}

struct PointerPoster::Impl {
    DisplayPtr display;
    bool broken = false;
    bool xtest = false;
    // Events are read once per batch, not once per move.
    bool eventsRead = false;
    int width = 0;
    int height = 0;

    static void onIOErrorExit(Display *, void *self) { static_cast<Impl *>(self)->broken = true; }

    bool ensureOpen();
    void drainEvents();
};

bool PointerPoster::Impl::ensureOpen()
{
    if (display && !broken)
        return true;
    display.reset();
    broken = false;
    display = openDisplay();
    if (!display)
        return false;
    Display *d = display.get();
    XSetIOErrorExitHandler(d, onIOErrorExit, this);
    int event, error, major, minor;
    xtest = XTestQueryExtension(d, &event, &error, &major, &minor);
    Window root = DefaultRootWindow(d);
    width = DisplayWidth(d, DefaultScreen(d));
    height = DisplayHeight(d, DefaultScreen(d));
    // Screen size changes arrive as ConfigureNotify on the root window.
    XSelectInput(d, root, StructureNotifyMask);
    return !broken;
}

void PointerPoster::Impl::drainEvents()
{
    Display *d = display.get();
    // Reads what has already arrived; never waits for the server.
    while (!broken && XEventsQueued(d, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == DefaultRootWindow(d)) {
            width = event.xconfigure.width;
            height = event.xconfigure.height;
        }
    }
}

PointerPoster::PointerPoster()
    : impl(std::make_unique<Impl>())
{
}

PointerPoster::~PointerPoster() = default;

void PointerPoster::post(double x, double y)
{
    if (!impl->ensureOpen() || !impl->xtest)
        return;
    if (!impl->eventsRead) {
        impl->drainEvents();
        impl->eventsRead = true;
    }
    ScreenPoint point;
    if (!toScreenPoint(x, y, impl->width, impl->height, &point))
        return;
    XTestFakeMotionEvent(impl->display.get(), DefaultScreen(impl->display.get()), point.x, point.y, CurrentTime);
}

void PointerPoster::flush()
{
    impl->eventsRead = false;
    if (impl->display && !impl->broken)
        XFlush(impl->display.get());
}

} // namespace X11Input
