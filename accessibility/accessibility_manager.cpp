#include "accessibility/accessibility_manager.h"

#include "core/app.h"
#include "core/startup.h"
#include "core/timer.h"
#include "ui/accessibility_dialog.h"
#include "ui/limitation_alert.h"
#include "ui/message_box.h"

#include <atomic>
#include <string>

namespace KSystem {

struct AccessibilityManager::Impl : std::enable_shared_from_this<AccessibilityManager::Impl> {
    explicit Impl(Platform::Pointer &pointer) : pointer(pointer) {}

    Platform::Pointer &pointer;
    std::function<void()> granted;
    std::function<void()> denied;
    std::shared_ptr<KUI::AccessibilityDialog> dialog;
    std::shared_ptr<KCore::Timer> timer;
    PermissionState state = PermissionState::Unknown;

    void check();
    void openWindow();
};

void AccessibilityManager::Impl::check()
{
    std::weak_ptr<Impl> weak = weak_from_this();
    if (!timer) {
        timer = std::make_shared<KCore::Timer>();
        timer->setCallback([weak] {
            auto self = weak.lock();
            if (self && self->timer)
                self->check();
        });
        timer->start(kMissingPollInterval, {});
    }

    bool limited = false;
    bool missing = permissionMissing(pointer, &limited);
    PermissionStep step = nextPermissionStep(state, missing, limited, dialog != nullptr);
    if (step.openWindow)
        openWindow();
    state = step.state;
    if (step.pollInterval > 0.0 && timer)
        timer->start(step.pollInterval, {});
    if (step.postGranted) {
        KCore::App::postToMainThread([weak] {
            std::function<void()> granted;
            if (auto self = weak.lock())
                granted = self->granted;
            if (granted)
                granted();
        });
    }
    // Last: the callback may destroy the manager.
    if (step.callDenied && denied) {
        auto callback = denied;
        callback();
    }
}

void AccessibilityManager::Impl::openWindow()
{
    std::weak_ptr<Impl> weak = weak_from_this();
    dialog = std::make_shared<KUI::AccessibilityDialog>(pointer);
    dialog->setGrantedCallback([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        // Closes the window from inside its own poll; the poll touches
        // nothing of the dialog afterwards.
        self->dialog.reset();
        self->check();
    });
    dialog->setClosedCallback([] { KCore::App::quit(); });
    dialog->show();
}

AccessibilityManager::AccessibilityManager(Platform::Pointer &pointer)
    : impl(std::make_shared<Impl>(pointer))
{
}

AccessibilityManager::~AccessibilityManager()
{
    // A check still running (a modal alert) may hold the Impl a little
    // longer; it must find neither timer nor window nor callbacks.
    impl->timer.reset();
    impl->dialog.reset();
    impl->granted = nullptr;
    impl->denied = nullptr;
}

void AccessibilityManager::setGrantedCallback(std::function<void()> callback)
{
    impl->granted = std::move(callback);
}

void AccessibilityManager::setDeniedCallback(std::function<void()> callback)
{
    impl->denied = std::move(callback);
}

void AccessibilityManager::start()
{
    // Held: a callback within the check may destroy this manager.
    auto keep = impl;
    keep->check();
}

bool permissionMissing(Platform::Pointer &pointer, bool *limited)
{
    if (!pointer.isAccessibilityTrusted())
        return true;
    if (pointer.canCreateEventTap())
        return false;
    if (limited)
        *limited = true;
    OSVersion version = osVersion();
    if (!probeFailureIsLimitation(version.major, version.minor))
        return false;
    showSystemLimitationAndQuit();
    return true;
}

} // namespace KSystem
