#include "platform/linux/linux_host.h"

#include "platform/linux/launcher.h"
#include "platform/linux/machine_id.h"
#include "platform/linux/pointer_gnome.h"
#include "platform/linux/pointer_wayland.h"
#include "platform/linux/pointer_x11.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#ifndef TESSARON_MACOS_MAJOR
#define TESSARON_MACOS_MAJOR 10
#endif
#ifndef TESSARON_MACOS_MINOR
#define TESSARON_MACOS_MINOR 13
#endif
#ifndef TESSARON_MACOS_PATCH
#define TESSARON_MACOS_PATCH 6
#endif

namespace Platform {

namespace {

QtMessageHandler qtHandler = nullptr;

// Qt's xcb and Wayland code report a broken connection with these warnings
// and then exit with their own message; ours comes first and ends the process.
void watchForBrokenDisplay(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("The X11 connection broke")))
        X11Input::exitForLostDisplay();
    if (message.startsWith(QLatin1String("The Wayland connection")))
        WaylandInput::exitForLostDisplay();
    if (qtHandler)
        qtHandler(type, context, message);
}

} // namespace

void exitWhenDisplayLost()
{
    X11Input::exitWhenAnyConnectionBreaks();
    qtHandler = qInstallMessageHandler(watchForBrokenDisplay);
}

OSVersion LinuxHost::osVersion()
{
    return {TESSARON_MACOS_MAJOR, TESSARON_MACOS_MINOR, TESSARON_MACOS_PATCH};
}

std::string LinuxHost::platformUUID()
{
    return Linux::machineUUID();
}

void LinuxHost::openURL(const std::string &url)
{
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (parsed.isValid() && !parsed.isRelative())
        QDesktopServices::openUrl(parsed);
}

void LinuxHost::launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance)
{
    Linux::launchApplicationNow(bundlePath, activates, createsNewInstance);
}

std::string LinuxHost::applicationsFolder()
{
    return "/Applications";
}

std::string LinuxHost::executablePath()
{
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

unsigned LinuxHost::userId()
{
    return static_cast<unsigned>(::getuid());
}

DesktopPointer::DesktopPointer() = default;

DesktopPointer::~DesktopPointer() = default;

bool DesktopPointer::isAccessibilityTrusted()
{
    if (WaylandInput::displayConfigured()) {
        if ((wayland && wayland->usable()) || (gnome && gnome->usable()))
            return true;
        wayland.reset();
        gnome.reset();
        std::optional<WaylandInput::Offer> offer;
        // WAYLAND_SOCKET is one connection, handed over once.
        handedOver = std::getenv("WAYLAND_SOCKET") && !std::getenv("WAYLAND_DISPLAY");
        wayland = WaylandInput::PointerSession::open(&offer);
        if (offer) {
            found = offer->desktop;
            if (!wayland && GnomeInput::remoteDesktopVersion() > 0) {
                found = Desktop::Gnome;
                std::string reason;
                gnome = GnomeInput::PointerSession::open(&reason);
                if (!gnome && reason != refusal)
                    std::fprintf(stderr, "tessaron-helper: GNOME's remote desktop refused: %s\n", reason.c_str());
                refusal = gnome ? std::string() : reason;
            }
            return wayland || gnome;
        }
    }
    found = Desktop::X11;
    wayland.reset();
    gnome.reset();
    return X11Input::displayOffersXTest();
}

bool DesktopPointer::canCreateEventTap()
{
    // Mutter's answer is the session the check keeps: a second one per
    // check would cost it a screen cast every few seconds.
    if (gnome)
        return gnome->usable();
    if (found != Desktop::X11) {
        if (handedOver)
            return wayland && wayland->usable();
        const std::optional<WaylandInput::Offer> offer = WaylandInput::probe();
        return offer && offer->route != WaylandInput::Route::None;
    }
    return X11Input::canListenToRawMotion();
}

Desktop DesktopPointer::desktop()
{
    return found;
}

void DesktopPointer::postPointerMove(double x, double y)
{
    if (wayland) {
        wayland->post(x, y);
    } else if (gnome) {
        gnome->post(x, y);
    } else if (found == Desktop::X11) {
        if (!x11)
            x11 = std::make_unique<X11Input::PointerPoster>();
        x11->post(x, y);
    }
    // One flush per batch: whatever one socket read brought is posted before
    // the loop comes back here and sends it all.
    if (flushQueued || !QCoreApplication::instance())
        return;
    flushQueued = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [this] {
        flushQueued = false;
        if (wayland)
            wayland->flush();
        if (x11)
            x11->flush();
    }, Qt::QueuedConnection);
}

} // namespace Platform
