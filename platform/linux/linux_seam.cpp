#include "platform/linux/linux_seam.h"

#include "platform/linux/launcher.h"
#include "platform/linux/pointer_x11.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

namespace Platform {

void LinuxSeam::openURL(const std::string &url)
{
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (parsed.isValid() && !parsed.isRelative())
        QDesktopServices::openUrl(parsed);
}

void LinuxSeam::launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance)
{
    Linux::launchApplicationNow(bundlePath, activates, createsNewInstance);
}

X11Pointer::X11Pointer()
    : poster(std::make_unique<X11Input::PointerPoster>())
{
}

X11Pointer::~X11Pointer() = default;

bool X11Pointer::isAccessibilityTrusted()
{
    return X11Input::displayOffersXTest();
}

bool X11Pointer::canCreateEventTap()
{
    return X11Input::canListenToRawMotion();
}

void X11Pointer::postPointerMove(double x, double y)
{
    poster->post(x, y);
    // One flush per batch: whatever one socket read brought is posted before
    // the loop comes back here and sends it all.
    if (flushQueued || !QCoreApplication::instance())
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [this] {
        flushQueued = false;
        poster->flush();
    }, Qt::QueuedConnection);
}

} // namespace Platform
