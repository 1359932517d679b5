#include "service/pointer.h"

#include "platform/seam.h"

void postPointerMove(double x, double y)
{
    Platform::Seam &platform = Platform::seam();
    // Only the left button makes a drag; any other button held is a move.
    auto kind = platform.isLeftButtonDown() ? Platform::PointerEventKind::LeftMouseDragged
                                            : Platform::PointerEventKind::MouseMoved;
    platform.postPointerEvent(kind, x, y);
}

bool isAccessibilityTrusted()
{
    return Platform::seam().isAccessibilityTrusted();
}

bool canCreateEventTap()
{
    return Platform::seam().canCreateEventTap();
}
