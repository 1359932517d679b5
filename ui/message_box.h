#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace KUI {

// The helper's alert panel: a window title, a bold message, an optional
// informative text, buttons and an icon, kept above other windows. Result
// codes are the index of the pressed button in the order of addButton; a box
// without added buttons shows one "OK" button, which gives 0.
// Main thread only, once the App exists.
class MessageBox : public std::enable_shared_from_this<MessageBox> {
public:
    // The style argument of showMessage; any other value keeps the default.
    enum Style : int {
        Informational = 0,
        Warning = 1,
        Critical = 2,
    };

    MessageBox();
    // Dismisses the box's asynchronous alert if it is on screen, without
    // its completion. One that has not appeared yet still appears.
    ~MessageBox();
    MessageBox(const MessageBox &) = delete;
    MessageBox &operator=(const MessageBox &) = delete;

    void setTitle(const std::string &title);
    // Shown in bold, as plain text.
    void setMessageText(const std::string &text);
    void setInformativeText(const std::string &text);
    // Appends a button; returns the result code that pressing it gives.
    int addButton(const std::string &title);
    // An image file (AppIcon.icns, PNG, ...) or else an icon theme name;
    // when neither gives an image the alert keeps its default icon.
    void setIcon(const std::string &pathOrName);

    // Shows the alert at once, in a nested loop, and returns the result code.
    int runModal();
    // Returns at once; the alert appears on a later loop turn (modally, in a
    // nested loop) and the completion gets the result code. A later show of
    // any box before or while this one is up, or a close, drops the result.
    // The completion must not be empty.
    void show(std::function<void(int)> completion);
    bool isVisible() const;
    // Dismisses a live asynchronous alert without its completion; the box
    // starts over with a fresh, unconfigured alert. Nothing happens while no
    // asynchronous alert is live.
    void close();

    // A box of its own with the message, the informative text when not
    // empty, the style's icon, and the titles as buttons when there are two
    // or more (fewer keep the single "OK"); runs it modally.
    static int showMessage(const std::string &message, const std::string &informative, int style,
        const std::vector<std::string> &buttonTitles);

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

} // namespace KUI
