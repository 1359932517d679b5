#pragma once

#include <initializer_list>
#include <string>
#include <utility>

// Xlib's own types, without its macros (they clash with GoogleTest's).
struct _XDisplay;

// What a user does to the helper's windows, done as another X client.
namespace TestSupport {

using XWindowId = unsigned long;
using XKeySymbol = unsigned long;

// A mapped top-level window whose title holds the text; 0 when none.
XWindowId findWindow(_XDisplay *display, const std::string &titlePart);
// The close button of a window manager: WM_DELETE_WINDOW.
void askToClose(_XDisplay *display, XWindowId window);
// Focuses the window and presses the keys, one after another.
void pressKeys(_XDisplay *display, XWindowId window, std::initializer_list<XKeySymbol> keys);
std::pair<int, int> pointerPosition(_XDisplay *display);

} // namespace TestSupport
