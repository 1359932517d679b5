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
#include <utility>
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

QDBusMessage request(const QString &service, const QString &path, const QString &interface, const QString &method,
    const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return message;
}

// Blocks without running the loop: nothing of ours runs meanwhile.
QDBusMessage call(const QDBusMessage &message)
{
    return QDBusConnection::sessionBus().call(message, QDBus::Block, kTimeoutMs);
}

QDBusMessage propertyRequest(const QString &service, const QString &path, const QString &interface,
    const QString &name)
{
    return request(service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
        {interface, name});
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

std::optional<QVariant> property(const QDBusMessage &reply, std::string *reason)
{
    const auto value = answer(reply, "reading a property", reason);
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
bool readLayout(const QDBusMessage &reply, std::vector<Monitor> &monitors, std::string *reason)
{
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
    const auto version = property(
        call(propertyRequest(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("Version"))),
        &ignored);
    return version ? version->toInt() : 0;
}

struct PointerSession::Impl {
    // Making a session is one chain of calls; open() runs it blocking, a
    // remake runs it on the loop while moves wait.
    enum class Step { Layout, CreateSession, SessionId, CreateCast, Record, Start, Done };

    MutterSignals events;
    std::vector<Monitor> monitors;
    std::vector<KCore::MonitorRect> layout;
    Step step = Step::Done;
    std::size_t recorded = 0;
    QString session, sessionId, cast;
    // A remake running on the loop; answers for an older one are dropped.
    unsigned generation = 0;
    bool broken = false;
    bool refused = false;
    int inFlight = 0;
    // Mutter takes moves on a stream only once it plays; until every one
    // does, moves wait.
    std::size_t streamsPlaying = 0;
    bool everPlayed = false;
    bool playing() const { return step == Step::Done && streamsPlaying >= monitors.size(); }
    // As the main app sent them, placed only when they go out: those that
    // waited through a remake land on the new layout.
    std::deque<std::pair<double, double>> held;

    ~Impl() { stop(); }
    std::optional<QDBusMessage> nextRequest() const;
    bool take(const QDBusMessage &reply, std::string *reason);
    bool makeBlocking(std::string *reason);
    void remake();
    void advance(unsigned chain);
    void stop();
    void send(double x, double y);
    void notify(double x, double y);
    void answered(QDBusPendingCallWatcher *watcher);
    void release();
};

std::optional<QDBusMessage> PointerSession::Impl::nextRequest() const
{
    switch (step) {
    case Step::Layout:
        return request(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("GetCurrentState"));
    case Step::CreateSession:
        return request(kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("CreateSession"));
    case Step::SessionId:
        return propertyRequest(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("SessionId"));
    case Step::CreateCast:
        // Absolute motion is relative to a screen cast stream of the session.
        return request(kScreenCast, QStringLiteral("/org/gnome/Mutter/ScreenCast"), kScreenCast,
            QStringLiteral("CreateSession"), {QVariantMap{{QStringLiteral("remote-desktop-session-id"), sessionId}}});
    case Step::Record:
        return request(kScreenCast, cast, kScreenCastSession, QStringLiteral("RecordMonitor"),
            {monitors[recorded].connector, QVariantMap{}});
    case Step::Start:
        return request(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Start"));
    case Step::Done:
        break;
    }
    return std::nullopt;
}

bool PointerSession::Impl::take(const QDBusMessage &reply, std::string *reason)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    switch (step) {
    case Step::Layout:
        if (!readLayout(reply, monitors, reason))
            return false;
        layout.clear();
        for (const Monitor &monitor : monitors)
            layout.push_back(monitor.rect);
        step = Step::CreateSession;
        return true;
    case Step::CreateSession: {
        const auto created = objectPath(reply, "creating a remote desktop session", reason);
        if (!created)
            return false;
        session = *created;
        bus.connect(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Closed"), &events,
            SLOT(closed()));
        step = Step::SessionId;
        return true;
    }
    case Step::SessionId: {
        const auto id = property(reply, reason);
        if (!id)
            return false;
        sessionId = id->toString();
        step = Step::CreateCast;
        return true;
    }
    case Step::CreateCast: {
        const auto created = objectPath(reply, "creating a screen cast session", reason);
        if (!created)
            return false;
        cast = *created;
        recorded = 0;
        streamsPlaying = 0;
        step = Step::Record;
        return true;
    }
    case Step::Record: {
        const auto stream = objectPath(reply, "recording a monitor", reason);
        if (!stream)
            return false;
        Monitor &monitor = monitors[recorded];
        monitor.stream = *stream;
        bus.connect(kScreenCast, monitor.stream, QStringLiteral("org.gnome.Mutter.ScreenCast.Stream"),
            QStringLiteral("PipeWireStreamAdded"), &events, SLOT(streamAdded(uint)));
        if (++recorded == monitors.size())
            step = Step::Start;
        return true;
    }
    case Step::Start:
        if (!succeeded(reply, "starting the session", reason))
            return false;
        step = Step::Done;
        return true;
    case Step::Done:
        break;
    }
    return false;
}
bool PointerSession::Impl::makeBlocking(std::string *reason)
{
    step = Step::Layout;
    while (const std::optional<QDBusMessage> next = nextRequest())
        if (!take(call(*next), reason))
            return false;
    return true;
}

// The layout changed, or Mutter ended the session (it does when monitors
// change): a new one is made while the loop runs on and moves wait.
void PointerSession::Impl::remake()
{
    stop();
    everPlayed = false;
    step = Step::Layout;
    advance(++generation);
}

void PointerSession::Impl::advance(unsigned chain)
{
    const std::optional<QDBusMessage> next = nextRequest();
    if (!next) {
        release();
        return;
    }
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(*next, kTimeoutMs);
    auto *watcher = new QDBusPendingCallWatcher(pending, &events);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &events, [this, chain](auto *done) {
        done->deleteLater();
        if (chain != generation)
            return;
        std::string reason;
        if (take(done->reply(), &reason)) {
            advance(chain);
            return;
        }
        broken = true;
        std::fprintf(stderr, "tessaron-helper: GNOME's remote desktop refused: %s\n", reason.c_str());
        std::fflush(stderr);
    });
}

void PointerSession::Impl::stop()
{
    if (session.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Closed"), &events, SLOT(closed()));
    for (Monitor &monitor : monitors)
        if (!monitor.stream.isEmpty())
            bus.disconnect(kScreenCast, std::exchange(monitor.stream, QString()),
                QStringLiteral("org.gnome.Mutter.ScreenCast.Stream"), QStringLiteral("PipeWireStreamAdded"), &events,
                SLOT(streamAdded(uint)));
    // Nobody waits for the answer; Mutter also ends it with our connection.
    bus.send(QDBusMessage::createMethodCall(kRemoteDesktop, session, kRemoteDesktopSession, QStringLiteral("Stop")));
    session.clear();
    streamsPlaying = 0;
}

void PointerSession::Impl::send(double x, double y)
{
    if (!playing() || inFlight >= kInFlight || !held.empty()) {
        if (held.size() < kHeldMoves)
            held.emplace_back(x, y);
        else
            held.back() = {x, y};
        return;
    }
    notify(x, y);
}

void PointerSession::Impl::notify(double x, double y)
{
    const std::optional<KCore::DesktopPoint> point = KCore::placePoint(x, y, layout);
    if (!point)
        return;
    const auto inside = [&](const Monitor &m) {
        return point->x >= m.rect.x && point->x < m.rect.x + m.rect.width && point->y >= m.rect.y
            && point->y < m.rect.y + m.rect.height;
    };
    const auto monitor = std::find_if(monitors.begin(), monitors.end(), inside);
    if (monitor == monitors.end())
        return;
    QDBusMessage message = QDBusMessage::createMethodCall(kRemoteDesktop, session, kRemoteDesktopSession,
        QStringLiteral("NotifyPointerMotionAbsolute"));
    message.setArguments({monitor->stream, (point->x - monitor->rect.x) * monitor->streamScale,
        (point->y - monitor->rect.y) * monitor->streamScale});
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
        const auto [x, y] = held.front();
        held.pop_front();
        notify(x, y);
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
    if (!impl->makeBlocking(reason))
        return nullptr;
    Impl *raw = impl.get();
    raw->events.onClosed = [raw] {
        // Closed before it ever played: refused, not ended. The next check
        // of the permission asks again.
        if (raw->everPlayed)
            raw->remake();
        else
            raw->broken = true;
    };
    raw->events.onMonitorsChanged = [raw] { raw->remake(); };
    raw->events.onStreamAdded = [raw] {
        ++raw->streamsPlaying;
        raw->everPlayed = raw->everPlayed || raw->playing();
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
    if (!impl->broken)
        impl->send(x, y);
}

} // namespace GnomeInput

#include "pointer_gnome.moc"
