#pragma once

#include "accessibility/permission_rules.h"
#include "platform/pointer.h"

#include <functional>
#include <memory>

namespace KSystem {

// Watches the input permission (the display offers XTEST and the raw-motion
// probe works): every second while it is missing or unknown, every five
// seconds once granted. While it is missing the guidance window is open;
// the user closing that window quits the helper.
// Main thread only, once the App exists. Create, set both callbacks, start().
class AccessibilityManager {
public:
    // Asks the pointer, which outlives the manager.
    explicit AccessibilityManager(Platform::Pointer &pointer);
    // Stops the poll and closes the window (without quitting).
    ~AccessibilityManager();
    AccessibilityManager(const AccessibilityManager &) = delete;
    AccessibilityManager &operator=(const AccessibilityManager &) = delete;

    // Runs on a later loop turn after each change to granted.
    void setGrantedCallback(std::function<void()> callback);
    // Runs within the check that finds the permission newly missing.
    void setDeniedCallback(std::function<void()> callback);
    // The first call starts the poll; every call checks once now.
    void start();

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

// True when the helper may not inject input. Trusted with a failing probe
// sets *limited; before 10.10 that also shows the limitation message and
// asks the application to quit.
bool permissionMissing(Platform::Pointer &pointer, bool *limited = nullptr);

} // namespace KSystem
