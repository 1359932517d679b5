#include "service/pointer.h"

#include "platform/seam.h"

void postPointerMove(double x, double y)
{
    // No move/drag decision here: the display server makes a move a drag
    // while the left button is down, for every client, grabs included.
    Platform::seam().postPointerMove(x, y);
}

bool isAccessibilityTrusted()
{
    return Platform::seam().isAccessibilityTrusted();
}

bool canCreateEventTap()
{
    return Platform::seam().canCreateEventTap();
}
