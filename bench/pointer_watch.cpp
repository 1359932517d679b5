// Watches the pointer of the default display from outside, as any other
// client would: counts every motion until SIGTERM or SIGINT, then prints
// the count and where the pointer stands (XQueryPointer).
//
//   pointer_watch [TRAIL]   prints "motions N" and "pointer X Y" when stopped;
//                           with TRAIL, writes each position seen there, "X Y"
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <csignal>
#include <cstdio>
#include <poll.h>

namespace {

volatile std::sig_atomic_t stop = 0;

void onSignal(int)
{
    stop = 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::FILE *trail = argc > 1 ? std::fopen(argv[1], "w") : nullptr;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "pointer_watch: cannot open the display\n");
        return 1;
    }
    int opcode, event, error;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
        std::fprintf(stderr, "pointer_watch: the display has no XInput\n");
        return 1;
    }
    int major = 2, minor = 0;
    XIQueryVersion(display, &major, &minor);
    unsigned char bits[XIMaskLen(XI_Motion)] = {};
    XISetMask(bits, XI_Motion);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
    XSync(display, False);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::printf("watching\n");
    std::fflush(stdout);

    unsigned long motions = 0;
    while (!stop) {
        while (XPending(display)) {
            XEvent e;
            XNextEvent(display, &e);
            if (e.type != GenericEvent || e.xcookie.extension != opcode || !XGetEventData(display, &e.xcookie))
                continue;
            ++motions;
            if (trail) {
                auto *motion = static_cast<XIDeviceEvent *>(e.xcookie.data);
                std::fprintf(trail, "%.0f %.0f\n", motion->root_x, motion->root_y);
            }
            XFreeEventData(display, &e.xcookie);
        }
        pollfd fd = {ConnectionNumber(display), POLLIN, 0};
        ::poll(&fd, 1, 50);
    }
    Window root, child;
    int x = -1, y = -1, wx, wy;
    unsigned int buttons;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &buttons);
    std::printf("motions %lu\npointer %d %d\n", motions, x, y);
    if (trail)
        std::fclose(trail);
    XCloseDisplay(display);
    return 0;
}
