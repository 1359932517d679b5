#include "platform/linux_seam.h"

#include "service/pointer_x11.h"

#include <QDesktopServices>
#include <QUrl>

namespace Platform {

bool LinuxSeam::isAccessibilityTrusted()
{
    return X11Input::displayOffersXTest();
}

bool LinuxSeam::canCreateEventTap()
{
    return X11Input::canListenToRawMotion();
}

void LinuxSeam::openURL(const std::string &url)
{
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (parsed.isValid() && !parsed.isRelative())
        QDesktopServices::openUrl(parsed);
}

} // namespace Platform
