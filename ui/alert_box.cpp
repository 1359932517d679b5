#include "ui/alert_box.h"

#include <atomic>

namespace KUI {

namespace {

std::atomic<std::int32_t> generation{0};

// A new asynchronous show: back to positive, then one further than any
// earlier value, so no two shows ever share a value.
std::int32_t beginGeneration()
{
    std::int32_t current = generation.load();
    while (current < 0 && !generation.compare_exchange_weak(current, -current)) {
    }
    return generation.fetch_add(1) + 1;
}

// Live to idle; false when it was idle already.
bool endGeneration()
{
    std::int32_t current = generation.load();
    while (current > 0) {
        if (generation.compare_exchange_weak(current, -current))
            return true;
    }
    return false;
}

} // namespace

std::optional<AlertStyle> alertStyleFor(int style)
{
    switch (style) {
    case 0:
        return AlertStyle::Informational;
    case 1:
        return AlertStyle::Warning;
    case 2:
        return AlertStyle::Critical;
    default:
        return std::nullopt;
    }
}

int alertResultCode(int response, bool suppressed)
{
    if (suppressed)
        return -1;
    return response - kFirstButtonResponse;
}

std::int32_t alertGeneration()
{
    return generation.load();
}

struct AlertBox::Impl : std::enable_shared_from_this<AlertBox::Impl> {
    explicit Impl(std::shared_ptr<PlatformAlert> alert) : alert(std::move(alert)) {}

    std::shared_ptr<PlatformAlert> alert;
};

AlertBox::AlertBox(AlertPlatform &platform)
    : platform(platform)
    , impl(std::make_shared<Impl>(platform.makeAlert()))
{
}

AlertBox::~AlertBox()
{
    // An alert that has not appeared yet is not cancelled: it still shows,
    // and its result finds the Impl gone.
    if (isVisible())
        close();
}

void AlertBox::setTitle(const std::string &title)
{
    impl->alert->setTitle(title);
}

void AlertBox::setMessageText(const std::string &text)
{
    impl->alert->setMessageText(text);
}

void AlertBox::setInformativeText(const std::string &text)
{
    impl->alert->setInformativeText(text);
}

int AlertBox::addButton(const std::string &title)
{
    return impl->alert->addButton(title) - 1;
}

void AlertBox::setIcon(const std::string &pathOrName)
{
    impl->alert->setIcon(pathOrName);
}

int AlertBox::runModal()
{
    // Held here: the box may go while the alert is up.
    std::shared_ptr<PlatformAlert> alert = impl->alert;
    int response = alert->runModal();
    return alertResultCode(response, alert->isSuppressed());
}

void AlertBox::show(std::function<void(int)> completion)
{
    std::int32_t kept = beginGeneration();
    std::weak_ptr<Impl> weak = impl->weak_from_this();
    auto handler = [weak, completion = std::move(completion)](int response) {
        auto self = weak.lock();
        if (!self)
            return;
        int code = alertResultCode(response, self->alert->isSuppressed());
        self.reset();
        if (completion)
            completion(code);
        endGeneration();
    };

    // The task keeps the alert alive; a generation that moved on before the
    // task runs, or while the alert is up, means the alert is stale.
    platform.post([alert = impl->alert, handler = std::move(handler), kept] {
        if (generation.load() != kept)
            return;
        int response = alert->runModal();
        if (generation.load() == kept)
            handler(response);
    });
}

bool AlertBox::isVisible() const
{
    return impl->alert->isVisible();
}

void AlertBox::close()
{
    if (generation.load() <= 0)
        return;
    impl->alert->dismiss();
    endGeneration();
    impl = std::make_shared<Impl>(platform.makeAlert());
}

int AlertBox::showMessage(AlertPlatform &platform, const std::string &message, const std::string &informative,
    int style, const std::vector<std::string> &buttonTitles)
{
    AlertBox box(platform);
    box.setMessageText(message);
    if (!informative.empty())
        box.setInformativeText(informative);
    if (auto platformStyle = alertStyleFor(style))
        box.impl->alert->setStyle(*platformStyle);
    // A single title would only repeat the default button.
    if (buttonTitles.size() >= 2) {
        box.impl->alert->removeButtons();
        for (const std::string &title : buttonTitles)
            box.addButton(title);
    }
    return box.runModal();
}

} // namespace KUI
