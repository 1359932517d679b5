#pragma once

#include "platform/pointer.h"
#include "ui/guidance_text.h"

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace KUI {

// The guidance window shown while the input permission is missing. It is
// loaded from <bundle>/Contents/Resources/Accessibility.ui ("{{APPNAME}}" in
// its title, labels and buttons becomes the helper's name); when that file
// cannot be loaded, a built-in window with the same texts and actions is
// used and the fault is stated in one line on stderr. While a dialog exists
// the Dock icon state reads visible. Main thread only, once the App exists.
class AccessibilityDialog : public std::enable_shared_from_this<AccessibilityDialog> {
public:
    // Starts the dialog's own one-second permission poll at once; the
    // pointer it asks outlives the dialog.
    explicit AccessibilityDialog(Platform::Pointer &pointer);
    // Restores the Dock icon state and closes the window without the
    // closed callback. May be called from inside the granted callback.
    ~AccessibilityDialog();
    AccessibilityDialog(const AccessibilityDialog &) = delete;
    AccessibilityDialog &operator=(const AccessibilityDialog &) = delete;

    // Runs once when the poll finds the permission usable; the poll stops
    // first. It may destroy the dialog.
    void setGrantedCallback(std::function<void()> callback);
    // Runs when the user closes the window (not when the dialog is destroyed).
    void setClosedCallback(std::function<void()> callback);
    // Creates the window on the first call and brings it to the front.
    void show();
    // The window once shown; null before.
    QWidget *window() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

// Puts the values in place of the placeholders in the texts of every widget
// below view (labels, line edits, buttons, group box titles), recursing into
// every child. Null view or no pairs: nothing happens.
void replaceTextInSubviews(QWidget *view, const PlaceholderPairs &pairs);

// Opens the page that explains how to give the helper input emulation on
// the display (there is no system settings pane for XTEST).
void openAccessibilitySettings();
std::string accessibilitySettingsURL();

// The site with the utm query, built anew on each call.
std::string websiteURL();
// The FAQ page with the utm query, built on the first call and kept.
const std::string &faqURL();
// Built from the running system's version, the bundle's short version
// string and its identifier.
std::string utmQuery();

} // namespace KUI
