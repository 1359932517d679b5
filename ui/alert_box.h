#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The alert panel's rules without the platform: result codes, the
// process-wide generation that cancels stale asynchronous alerts, and the
// convenience call. KUI::MessageBox runs them over a Qt alert; tests run them
// over a fake. Standard library only.
namespace KUI {

// The platform's alert styles, with the platform's values.
enum class AlertStyle : int {
    Warning = 0,
    Informational = 1,
    Critical = 2,
};

// The style argument of showMessage (0 informational, 1 warning, 2 critical)
// as a platform style; any other value leaves the platform default.
std::optional<AlertStyle> alertStyleFor(int style);

// The platform response as a result code: the index of the pressed button
// (responses count from 1000), or -1 when the suppression box is checked.
int alertResultCode(int response, bool suppressed);

// The platform's responses.
constexpr int kFirstButtonResponse = 1000;
constexpr int kAbortResponse = -1000;

// Positive while an asynchronous alert is pending or on screen, and then it
// names that alert; zero or negative when none is. Process-wide.
std::int32_t alertGeneration();

// One platform alert: a window with a title, a message, an informative text,
// buttons and an icon. Main thread only.
class PlatformAlert {
public:
    virtual ~PlatformAlert() = default;

    virtual void setTitle(const std::string &title) = 0;
    virtual void setMessageText(const std::string &text) = 0;
    virtual void setInformativeText(const std::string &text) = 0;
    // Appends a button; returns how many buttons the alert has now.
    virtual int addButton(const std::string &title) = 0;
    // Takes away every button the alert has so far.
    virtual void removeButtons() = 0;
    // An image file, or else a named image; neither leaves the default icon.
    virtual void setIcon(const std::string &pathOrName) = 0;
    virtual void setStyle(AlertStyle style) = 0;
    // Shows the alert modally and returns the platform response:
    // kFirstButtonResponse + index of the pressed button, kAbortResponse when
    // dismissed. An alert without buttons shows one default button.
    virtual int runModal() = 0;
    virtual bool isVisible() const = 0;
    // Ends a modal run of this alert, if any, and takes it off screen.
    virtual void dismiss() = 0;
    // The alert shows a suppression check box and it is checked.
    virtual bool isSuppressed() const = 0;
};

// Where alerts come from and where deferred work runs.
class AlertPlatform {
public:
    virtual ~AlertPlatform() = default;

    virtual std::shared_ptr<PlatformAlert> makeAlert() = 0;
    // Runs the task on a later turn of the main loop.
    virtual void post(std::function<void()> task) = 0;
};

// A message box over one platform alert at a time; see KUI::MessageBox for
// the behaviour. The platform must outlive every box and every posted task.
// Main thread only.
class AlertBox {
public:
    explicit AlertBox(AlertPlatform &platform);
    // Closes an asynchronous alert that is on screen; its completion never runs.
    ~AlertBox();
    AlertBox(const AlertBox &) = delete;
    AlertBox &operator=(const AlertBox &) = delete;

    void setTitle(const std::string &title);
    void setMessageText(const std::string &text);
    void setInformativeText(const std::string &text);
    // Returns the result code that pressing this button will give.
    int addButton(const std::string &title);
    void setIcon(const std::string &pathOrName);

    // Shows the alert at once and returns the result code. The box may be
    // destroyed while the alert is up; the alert lives until it returns.
    int runModal();
    // Shows the alert on a later loop turn and hands the result code to the
    // completion on the main thread. A later show of any box, a close or the
    // box's destruction while on screen drops the result.
    void show(std::function<void(int)> completion);
    bool isVisible() const;
    // Dismisses a live asynchronous alert without its completion and gives
    // the box a fresh alert. Does nothing while no asynchronous alert is live.
    void close();

    // Builds, runs modally and destroys a box of its own: two or more titles
    // replace the default button, fewer keep it.
    static int showMessage(AlertPlatform &platform, const std::string &message, const std::string &informative,
        int style, const std::vector<std::string> &buttonTitles);

private:
    struct Impl;

    AlertPlatform &platform;
    std::shared_ptr<Impl> impl;
};

} // namespace KUI
