#include "platform/linux/linux_seam.h"

#include "platform/linux/launcher.h"
#include "platform/linux/pointer_x11.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

namespace Platform {

LinuxSeam::LinuxSeam()
    : poster(std::make_unique<X11Input::PointerPoster>())
{
}

LinuxSeam::~LinuxSeam() = default;

bool LinuxSeam::isAccessibilityTrusted()
{
    return X11Input::displayOffersXTest();
}

bool LinuxSeam::canCreateEventTap()
{
    return X11Input::canListenToRawMotion();
}

void LinuxSeam::postPointerMove(double x, double y)
{
    poster->post(x, y);
    // One flush per batch: whatever one socket read brought is posted before
    // the loop comes back here and sends it all.
    if (flushQueued || !QCoreApplication::instance())
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [this] { flushPointerEvents(); }, Qt::QueuedConnection);
}

void LinuxSeam::flushPointerEvents()
{
    flushQueued = false;
    poster->flush();
}

void LinuxSeam::openURL(const std::string &url)
{
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (parsed.isValid() && !parsed.isRelative())
        QDesktopServices::openUrl(parsed);
}

} // namespace Platform

namespace Platform {

void LinuxSeam::launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance)
{
    Linux::launchApplicationNow(bundlePath, activates, createsNewInstance);
}

} // namespace Platform
