#include "service/pointer_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <memory>

namespace X11Input {

namespace {

struct DisplayCloser {
    void operator()(Display *display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

DisplayPtr openDisplay()
{
    return DisplayPtr(XOpenDisplay(nullptr));
}

} // namespace

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
    DisplayPtr display = openDisplay();
    if (!display)
        return false;
    int event, error, major, minor;
    return XTestQueryExtension(display.get(), &event, &error, &major, &minor);
}

bool canListenToRawMotion()
{
    DisplayPtr display = openDisplay();
    if (!display)
        return false;
    int opcode, event, error;
    if (!XQueryExtension(display.get(), "XInputExtension", &opcode, &event, &error))
        return false;
    int major = 2, minor = 0;
    if (XIQueryVersion(display.get(), &major, &minor) != Success)
        return false;
    unsigned char bits[XIMaskLen(XI_RawMotion)] = {};
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof bits;
    mask.mask = bits;
    if (XISelectEvents(display.get(), DefaultRootWindow(display.get()), &mask, 1) != Success)
        return false;
    XSync(display.get(), False);
    return true;
}

} // namespace X11Input
