#include "platform/linux/pointer_gnome.h"

#include "core/monitor_layout.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace GnomeInput {

namespace {

const QString kRemoteDesktop = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString kRemoteDesktopPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
const QString kRemoteDesktopSession = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
const QString kScreenCast = QStringLiteral("org.gnome.Mutter.ScreenCast");
const QString kScreenCastSession = QStringLiteral("org.gnome.Mutter.ScreenCast.Session");
const QString kDisplayConfig = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString kDisplayConfigPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");

// A healthy Mutter answers within milliseconds; a hung one must not hold
// the loop for long.
constexpr int kTimeoutMs = 500;
// Unanswered moves; more wait in order, so a slow Mutter is never flooded.
constexpr int kInFlight = 64;
constexpr std::size_t kHeldMoves = 65536;

QDBusMessage call(const QString &service, const QString &path, const QString &interface, const QString &method,
    const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    // Blocks without running the loop: nothing of ours runs meanwhile.
    return QDBusConnection::sessionBus().call(message, QDBus::Block, kTimeoutMs);
}

bool succeeded(const QDBusMessage &reply, const char *what, std::string *reason)
{
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    *reason = std::string(what) + ": " + reply.errorName().toStdString() + " " + reply.errorMessage().toStdString();
    return false;
}

// The reply's first value, or nothing with the reason.
std::optional<QVariant> answer(const QDBusMessage &reply, const char *what, std::string *reason)
{
    if (!succeeded(reply, what, reason))
        return std::nullopt;
    if (reply.arguments().isEmpty()) {
        *reason = std::string(what) + ": an empty answer";
        return std::nullopt;
    }
    return reply.arguments().constFirst();
}

std::optional<QVariant> property(const QString &service, const QString &path, const QString &interface,
    const QString &name, std::string *reason)
{
    const auto value = answer(call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                  QStringLiteral("Get"), {interface, name}),
        "reading a property", reason);
    if (!value)
        return std::nullopt;
    return value->value<QDBusVariant>().variant();
}

std::optional<QString> objectPath(const QDBusMessage &reply, const char *what, std::string *reason)
{
    const auto value = answer(reply, what, reason);
    if (!value)
        return std::nullopt;
    return value->value<QDBusObjectPath>().path();
}

struct Monitor {
    KCore::MonitorRect rect;
    // Stream positions are in the monitor's pixels when the layout is in
    // logical pixels, in layout pixels otherwise.
    double streamScale = 1;
    QString connector;
    QString stream;
};

// The logical monitors of Mutter's display configuration, each with the
// first of its connectors (the one a screen cast records).
bool readLayout(std::vector<Monitor> &monitors, std::string *reason)
{
    const QDBusMessage reply = call(kDisplayConfig, kDisplayConfigPath, kDisplayConfig,
        QStringLiteral("GetCurrentState"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 4) {
        if (succeeded(reply, "reading the monitors", reason))
            *reason = "reading the monitors: an answer of another shape";
        return false;
    }
    const QVariantList values = reply.arguments();
    std::map<QString, std::pair<int, int>> modes;
    const QDBusArgument physical = values[1].value<QDBusArgument>();
    physical.beginArray();
    while (!physical.atEnd()) {
        QString connector, vendor, product, serial;
        physical.beginStructure();
        physical.beginStructure();
        physical >> connector >> vendor >> product >> serial;
        physical.endStructure();
        physical.beginArray();
        while (!physical.atEnd()) {
            QString id;
            int width = 0, height = 0;
            double refresh = 0, preferredScale = 0;
            QList<double> scales;
            QVariantMap properties;
            physical.beginStructure();
            physical >> id >> width >> height >> refresh >> preferredScale >> scales >> properties;
            physical.endStructure();
            if (properties.value(QStringLiteral("is-current")).toBool())
                modes[connector] = {width, height};
        }
        physical.endArray();
        QVariantMap properties;
        physical >> properties;
        physical.endStructure();
    }
    physical.endArray();
    // 1: logical pixels, 2: physical ones (each monitor at scale 1).
    const bool logicalLayout =
        qdbus_cast<QVariantMap>(values[3]).value(QStringLiteral("layout-mode"), 1).toUInt() == 1;

    monitors.clear();
    const QDBusArgument logical = values[2].value<QDBusArgument>();
    logical.beginArray();
    while (!logical.atEnd()) {
        int x = 0, y = 0;
        double scale = 1;
        uint transform = 0;
        bool primary = false;
        logical.beginStructure();
        logical >> x >> y >> scale >> transform >> primary;
        QString first;
        logical.beginArray();
        while (!logical.atEnd()) {
            QString connector, vendor, product, serial;
            logical.beginStructure();
            logical >> connector >> vendor >> product >> serial;
            logical.endStructure();
            if (first.isEmpty())
                first = connector;
        }
        logical.endArray();
        QVariantMap properties;
        logical >> properties;
        logical.endStructure();
        auto [width, height] = modes[first];
        // Odd transforms turn the monitor a quarter.
        if (transform % 2)
            std::swap(width, height);
        const double divisor = logicalLayout && scale > 0 ? scale : 1;
        monitors.push_back({{x, y, static_cast<int>(std::lround(width / divisor)),
                                static_cast<int>(std::lround(height / divisor)), primary},
            divisor, first, {}});
    }
    logical.endArray();
    if (monitors.empty())
        *reason = "Mutter lists no monitor";
    return !monitors.empty();
}

} // namespace

// Mutter's signals reach slots only: this object holds them.
class MutterSignals : public QObject {
    Q_OBJECT
public:
    std::function<void()> onMonitorsChanged;
    std::function<void()> onClosed;
    std::function<void()> onStreamAdded;

public Q_SLOTS:
    void streamAdded(uint)
    {
        if (onStreamAdded)
            onStreamAdded();
    }
    void monitorsChanged()
    {
        if (onMonitorsChanged)
            onMonitorsChanged();
    }
    void closed()
    {
        if (onClosed)
            onClosed();
    }
};

int remoteDesktopVersion()
{
    if (!QDBusConnection::sessionBus().isConnected())
        return 0;
    std::string ignored;
    const auto version = property(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("Version"),
        &ignored);
    return version ? version->toInt() : 0;
}

struct PointerSession::Impl {
    MutterSignals events;
    std::vector<Monitor> monitors;
    std::vector<KCore::MonitorRect> layout;
    QString session;
    bool broken = false;
    bool stale = false;
    bool refused = false;
    int inFlight = 0;
    // Mutter takes moves on a stream only once it plays; until every one
    // does, moves wait.
    std::size_t streamsPlaying = 0;
    bool playing() const { return streamsPlaying >= monitors.size(); }
    std::deque<KCore::DesktopPoint> held;

    ~Impl() { stop(); }
    bool start(std::string *reason);
    void stop();
    void send(KCore::DesktopPoint point);
    void notify(KCore::DesktopPoint point);
    void answered(QDBusPendingCallWatcher *watcher);
    void release();
};

bool PointerSession::Impl::start(std::string *reason)
{
    stale = false;
    if (!readLayout(monitors, reason))
        return false;
    layout.clear();
    for (const Monitor &monitor : monitors)
        layout.push_back(monitor.rect);
    const auto created = objectPath(
        call(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("CreateSession")),
        "creating a remote desktop session", reason);
    if (!created)
        return false;
    session = *created;
    const auto id = property(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("SessionId"), reason);
    if (!id)
        return false;
    // Absolute motion is relative to a screen cast stream of the session.
    const auto cast = objectPath(call(kScreenCast, QStringLiteral("/org/gnome/Mutter/ScreenCast"), kScreenCast,
                                     QStringLiteral("CreateSession"),
                                     {QVariantMap{{QStringLiteral("remote-desktop-session-id"), id->toString()}}}),
        "creating a screen cast session", reason);
    if (!cast)
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    streamsPlaying = 0;
    for (Monitor &monitor : monitors) {
        const auto stream = objectPath(call(kScreenCast, *cast, kScreenCastSession, QStringLiteral("RecordMonitor"),
                                           {monitor.connector, QVariantMap{}}),
            "recording a monitor", reason);
        if (!stream)
            return false;
        monitor.stream = *stream;
        bus.connect(kScreenCast, monitor.stream, QStringLiteral("org.gnome.Mutter.ScreenCast.Stream"),
            QStringLiteral("PipeWireStreamAdded"), &events, SLOT(streamAdded(uint)));
    }
    bus.connect(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Closed"), &events, SLOT(closed()));
    return succeeded(call(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Start")),
        "starting the session", reason);
}

void PointerSession::Impl::stop()
{
    if (session.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Closed"), &events, SLOT(closed()));
    // Nobody waits for the answer; Mutter also ends it with our connection.
    bus.send(QDBusMessage::createMethodCall(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Stop")));
    session.clear();
}

void PointerSession::Impl::send(KCore::DesktopPoint point)
{
    if (!playing() || inFlight >= kInFlight || !held.empty()) {
        if (held.size() < kHeldMoves)
            held.push_back(point);
        else
            held.back() = point;
        return;
    }
    notify(point);
}

void PointerSession::Impl::notify(KCore::DesktopPoint point)
{
    const auto inside = [&](const Monitor &m) {
        return point.x >= m.rect.x && point.x < m.rect.x + m.rect.width && point.y >= m.rect.y
            && point.y < m.rect.y + m.rect.height;
    };
    const auto monitor = std::find_if(monitors.begin(), monitors.end(), inside);
    // Placed on a layout that has changed since: no stream holds it.
    if (monitor == monitors.end())
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(kRemoteDesktop, session, kRemoteDesktopSession,
        QStringLiteral("NotifyPointerMotionAbsolute"));
    message.setArguments({monitor->stream, (point.x - monitor->rect.x) * monitor->streamScale,
        (point.y - monitor->rect.y) * monitor->streamScale});
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), &events);
    ++inFlight;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &events,
        [this](QDBusPendingCallWatcher *done) { answered(done); });
}

void PointerSession::Impl::answered(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    --inFlight;
    if (watcher->isError() && !refused) {
        const QDBusError error = watcher->error();
        // An older or newer Mutter without the method: say so once.
        if (error.type() == QDBusError::UnknownMethod || error.type() == QDBusError::UnknownInterface) {
            refused = true;
            broken = true;
            std::fprintf(stderr, "tessaron-helper: Mutter refuses to move the pointer: %s\n",
                error.message().toLocal8Bit().constData());
            std::fflush(stderr);
        }
    }
    release();
}

void PointerSession::Impl::release()
{
    while (!broken && playing() && inFlight < kInFlight && !held.empty()) {
        const KCore::DesktopPoint point = held.front();
        held.pop_front();
        notify(point);
    }
}

PointerSession::PointerSession(std::unique_ptr<Impl> impl)
    : impl(std::move(impl))
{
}

PointerSession::~PointerSession() = default;

std::unique_ptr<PointerSession> PointerSession::open(std::string *reason)
{
    auto impl = std::make_unique<Impl>();
    if (!impl->start(reason))
        return nullptr;
    Impl *raw = impl.get();
    raw->events.onClosed = [raw] { raw->broken = true; };
    raw->events.onMonitorsChanged = [raw] { raw->stale = true; };
    raw->events.onStreamAdded = [raw] {
        ++raw->streamsPlaying;
        raw->release();
    };
    QDBusConnection::sessionBus().connect(kDisplayConfig, kDisplayConfigPath, kDisplayConfig,
        QStringLiteral("MonitorsChanged"), &raw->events, SLOT(monitorsChanged()));
    return std::unique_ptr<PointerSession>(new PointerSession(std::move(impl)));
}

bool PointerSession::usable() const
{
    return !impl->broken;
}

void PointerSession::post(double x, double y)
{
    Impl &d = *impl;
    if (d.broken)
        return;
    // The streams are the monitors': new monitors, a new session.
    if (d.stale) {
        d.stop();
        std::string reason;
        if (!d.start(&reason)) {
            d.broken = true;
            return;
        }
    }
    if (const std::optional<KCore::DesktopPoint> point = KCore::placePoint(x, y, d.layout))
        d.send(*point);
}

} // namespace GnomeInput

#include "pointer_gnome.moc"
