#pragma once

// The three input primitives the service and the permission logic use. They
// ask the platform seam, so tests see every call and the helper reaches X11.

// One pointer move to (x, y), in root-window pixels of the default screen.
void postPointerMove(double x, double y);
// The helper may inject input: the display is reachable and offers XTEST.
bool isAccessibilityTrusted();
// A fresh display connection can listen to raw pointer motion.
bool canCreateEventTap();
