#pragma once

#include <string>

// Opens an application bundle without blocking the caller, through the
// App's host; the outcome is never reported. Any thread while the App lives.
void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance);
