#pragma once

#include <string>

// Opens an application bundle without blocking the caller, through the
// platform seam; the outcome is never reported. Any thread.
void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance);
