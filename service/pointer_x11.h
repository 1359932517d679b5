#pragma once

#include <string>

// The helper's only X11 code: the display's answers to the input permission.
namespace X11Input {

// Opens and closes the default display; on failure names the display tried.
bool displayReachable(std::string *displayName);

// The display is reachable and offers the XTEST extension.
bool displayOffersXTest();

// A fresh connection can select raw pointer motion on the root window
// (XInput 2). Each call opens and closes its own connection.
bool canListenToRawMotion();

} // namespace X11Input
