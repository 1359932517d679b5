#include "platform/linux/pointer_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include "core/monitor_layout.h"
#include "platform/linux/lost_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>
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
    Platform::exitForLostDisplay("X", XDisplayName(nullptr));
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

struct PointerPoster::Impl {
    DisplayPtr display;
    bool broken = false;
    bool xtest = false;
    // Events are read once per batch, not once per move.
    bool eventsRead = false;
    // RandR 1.5 monitors, or none: then the root window is the one monitor.
    bool monitorsKnown = false;
    int randrEvents = 0;
    std::vector<KCore::MonitorRect> monitors;

    static void onIOErrorExit(Display *, void *self) { static_cast<Impl *>(self)->broken = true; }

    bool ensureOpen();
    void drainEvents();
    void readLayout();
};

// One round trip, only when the layout changed.
void PointerPoster::Impl::readLayout()
{
    Display *d = display.get();
    Window root = DefaultRootWindow(d);
    monitors.clear();
    if (monitorsKnown) {
        int count = 0;
        XRRMonitorInfo *list = XRRGetMonitors(d, root, True, &count);
        for (int i = 0; list && i < count; ++i)
            monitors.push_back({list[i].x, list[i].y, list[i].width, list[i].height, list[i].primary != 0});
        if (list)
            XRRFreeMonitors(list);
    }
    if (monitors.empty()) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(d, root, &attributes))
            monitors.push_back({0, 0, attributes.width, attributes.height, true});
    }
}

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
    int randrErrors = 0, randrMajor = 0, randrMinor = 0;
    monitorsKnown = XRRQueryExtension(d, &randrEvents, &randrErrors)
        && XRRQueryVersion(d, &randrMajor, &randrMinor) && (randrMajor > 1 || (randrMajor == 1 && randrMinor >= 5));
    // Root size changes arrive as ConfigureNotify; monitors added, moved or
    // made primary as RandR notifications.
    XSelectInput(d, root, StructureNotifyMask);
    if (monitorsKnown)
        XRRSelectInput(d, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    readLayout();
    return !broken;
}

void PointerPoster::Impl::drainEvents()
{
    Display *d = display.get();
    // Reads what has already arrived; never waits for the server.
    bool changed = false;
    while (!broken && XEventsQueued(d, QueuedAfterReading) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == DefaultRootWindow(d))
            changed = true;
        if (monitorsKnown && event.type >= randrEvents && event.type <= randrEvents + RRNotify) {
            XRRUpdateConfiguration(&event);
            changed = true;
        }
    }
    if (changed && !broken)
        readLayout();
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
    // Always inside a monitor, so never beyond X's 16-bit coordinates.
    const std::optional<KCore::DesktopPoint> point = KCore::placePoint(x, y, impl->monitors);
    if (!point)
        return;
    XTestFakeMotionEvent(impl->display.get(), DefaultScreen(impl->display.get()), point->x, point->y, CurrentTime);
}

void PointerPoster::flush()
{
    impl->eventsRead = false;
    if (impl->display && !impl->broken)
        XFlush(impl->display.get());
}

} // namespace X11Input
