#include "platform/linux/pointer_wayland.h"

#include "core/monitor_layout.h"
#include "platform/linux/lost_display.h"

#include "fake-input-client-protocol.h"
#include "kde-output-order-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace WaylandInput {

namespace {

// A healthy compositor answers in well under a millisecond; a hung one must
// not hold the loop for long.
constexpr int kRoundtripMs = 500;
// libwayland's send buffer holds 4 KiB and kills the connection when it
// overflows onto a full socket, so we flush long before that.
constexpr std::size_t kQueueBound = 2048;
// One move on the wire, at most (wlroots' motion and frame).
constexpr std::size_t kMoveBytes = 36;
// Moves kept while the compositor does not read: about 2 MiB.
constexpr std::size_t kHeldMoves = 65536;

struct DisplayCloser {
    void operator()(wl_display *display) const { wl_display_disconnect(display); }
};
using DisplayPtr = std::unique_ptr<wl_display, DisplayCloser>;

const char *env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// Waits for the compositor to answer everything sent so far, at most
// kRoundtripMs; reads and dispatches what arrives meanwhile.
bool roundtrip(wl_display *display)
{
    bool done = false;
    wl_callback *callback = wl_display_sync(display);
    static const wl_callback_listener listener = {
        [](void *data, wl_callback *, uint32_t) { *static_cast<bool *>(data) = true; }};
    wl_callback_add_listener(callback, &listener, &done);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRoundtripMs);
    const int fd = wl_display_get_fd(display);
    bool ok = true;
    while (ok && !done) {
        if (wl_display_flush(display) < 0 && errno != EAGAIN)
            break;
        if (wl_display_prepare_read(display) != 0) {
            ok = wl_display_dispatch_pending(display) >= 0;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        pollfd ready = {fd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) {
            wl_display_cancel_read(display);
            break;
        }
        ok = wl_display_read_events(display) == 0 && wl_display_dispatch_pending(display) >= 0;
    }
    wl_callback_destroy(callback);
    return done;
}

struct Output {
    bool *changed = nullptr;
    std::uint32_t name = 0;
    wl_output *output = nullptr;
    zxdg_output_v1 *xdg = nullptr;
    std::string label;
    // Logical geometry from xdg-output; without it, from the mode and scale.
    int x = 0, y = 0, width = 0, height = 0;
    int modeWidth = 0, modeHeight = 0, scale = 1;
    bool logical = false;

    ~Output()
    {
        if (xdg)
            zxdg_output_v1_destroy(xdg);
        if (output)
            wl_output_destroy(output);
    }
};

// The registry as this process sees it, and the objects a session keeps.
struct Connection {
    DisplayPtr display;
    wl_registry *registry = nullptr;
    bool keepObjects = false;

    bool kwin = false, gnome = false, wlroots = false;
    std::uint32_t pointerManagerName = 0, fakeInputName = 0, fakeInputVersion = 0;

    zwlr_virtual_pointer_manager_v1 *pointerManager = nullptr;
    zwlr_virtual_pointer_v1 *virtualPointer = nullptr;
    org_kde_kwin_fake_input *fakeInput = nullptr;
    zxdg_output_manager_v1 *outputManager = nullptr;
    kde_output_order_v1 *outputOrder = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    std::vector<std::string> order, pendingOrder;
    // Rebuilt only after the compositor told us something changed.
    std::vector<KCore::MonitorRect> layout;
    bool layoutChanged = true;

    ~Connection()
    {
        outputs.clear();
        if (virtualPointer)
            zwlr_virtual_pointer_v1_destroy(virtualPointer);
        if (pointerManager)
            zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
        if (fakeInput)
            org_kde_kwin_fake_input_destroy(fakeInput);
        if (outputManager)
            zxdg_output_manager_v1_destroy(outputManager);
        if (outputOrder)
            kde_output_order_v1_destroy(outputOrder);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_flush(display.get());
    }

    Offer offer() const
    {
        Offer found;
        if (kwin || fakeInputName)
            found.desktop = Platform::Desktop::KdePlasma;
        else if (gnome)
            found.desktop = Platform::Desktop::Gnome;
        else if (wlroots || pointerManagerName)
            found.desktop = Platform::Desktop::Wlroots;
        if (pointerManagerName)
            found.route = Route::VirtualPointer;
        // Absolute motion came with version 3.
        else if (fakeInputName && fakeInputVersion >= 3)
            found.route = Route::FakeInput;
        return found;
    }

    void addOutput(std::uint32_t name, std::uint32_t version);
    void watchLogicalGeometry(Output &output);
    const std::vector<KCore::MonitorRect> &monitors();
};

const wl_output_listener outputListener = {
    [](void *data, wl_output *, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char *, const char *,
        int32_t) {
        auto *output = static_cast<Output *>(data);
        if (!output->logical)
            output->x = x, output->y = y;
        *output->changed = true;
    },
    [](void *data, wl_output *, uint32_t flags, int32_t width, int32_t height, int32_t) {
        auto *output = static_cast<Output *>(data);
        if (flags & WL_OUTPUT_MODE_CURRENT)
            output->modeWidth = width, output->modeHeight = height;
        *output->changed = true;
    },
    [](void *, wl_output *) {},
    [](void *data, wl_output *, int32_t scale) {
        auto *output = static_cast<Output *>(data);
        output->scale = std::max(scale, 1);
        *output->changed = true;
    },
    [](void *, wl_output *, const char *) {},
    [](void *, wl_output *, const char *) {},
};

const zxdg_output_v1_listener xdgOutputListener = {
    [](void *data, zxdg_output_v1 *, int32_t x, int32_t y) {
        auto *output = static_cast<Output *>(data);
        output->x = x, output->y = y, output->logical = true;
        *output->changed = true;
    },
    [](void *data, zxdg_output_v1 *, int32_t width, int32_t height) {
        auto *output = static_cast<Output *>(data);
        output->width = width, output->height = height, output->logical = true;
        *output->changed = true;
    },
    [](void *, zxdg_output_v1 *) {},
    [](void *data, zxdg_output_v1 *, const char *name) {
        auto *output = static_cast<Output *>(data);
        output->label = name;
        *output->changed = true;
    },
    [](void *, zxdg_output_v1 *, const char *) {},
};

const kde_output_order_v1_listener outputOrderListener = {
    [](void *data, kde_output_order_v1 *, const char *name) {
        static_cast<Connection *>(data)->pendingOrder.emplace_back(name);
    },
    [](void *data, kde_output_order_v1 *) {
        auto *connection = static_cast<Connection *>(data);
        connection->order = std::move(connection->pendingOrder);
        connection->pendingOrder.clear();
        connection->layoutChanged = true;
    },
};

void Connection::watchLogicalGeometry(Output &output)
{
    if (!outputManager || output.xdg)
        return;
    output.xdg = zxdg_output_manager_v1_get_xdg_output(outputManager, output.output);
    zxdg_output_v1_add_listener(output.xdg, &xdgOutputListener, &output);
}

void Connection::addOutput(std::uint32_t name, std::uint32_t version)
{
    auto output = std::make_unique<Output>();
    output->changed = &layoutChanged;
    output->name = name;
    output->output = static_cast<wl_output *>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min<std::uint32_t>(version, 4)));
    wl_output_add_listener(output->output, &outputListener, output.get());
    watchLogicalGeometry(*output);
    outputs.push_back(std::move(output));
}

const std::vector<KCore::MonitorRect> &Connection::monitors()
{
    if (!layoutChanged)
        return layout;
    layoutChanged = false;
    std::vector<KCore::MonitorRect> &list = layout;
    list.clear();
    for (const auto &output : outputs) {
        KCore::MonitorRect rect{output->x, output->y, output->width, output->height, false};
        if (!output->logical)
            rect.width = output->modeWidth / output->scale, rect.height = output->modeHeight / output->scale;
        // KWin lists its outputs in order, the primary first.
        rect.primary = !order.empty() && order.front() == output->label;
        list.push_back(rect);
    }
    return list;
}

void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    auto *connection = static_cast<Connection *>(data);
    const std::string_view kind(interface);
    if (kind == zwlr_virtual_pointer_manager_v1_interface.name) {
        connection->pointerManagerName = name;
        if (connection->keepObjects && !connection->pointerManager)
            connection->pointerManager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    } else if (kind == org_kde_kwin_fake_input_interface.name) {
        connection->fakeInputName = name;
        connection->fakeInputVersion = version;
        if (connection->keepObjects && !connection->fakeInput && version >= 3)
            connection->fakeInput = static_cast<org_kde_kwin_fake_input *>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 3));
    } else if (kind == "org_kde_plasma_shell" || kind == "org_kde_kwin_shadow_manager"
        || kind == kde_output_order_v1_interface.name) {
        connection->kwin = true;
        if (connection->keepObjects && kind == kde_output_order_v1_interface.name && !connection->outputOrder) {
            connection->outputOrder = static_cast<kde_output_order_v1 *>(
                wl_registry_bind(registry, name, &kde_output_order_v1_interface, 1));
            kde_output_order_v1_add_listener(connection->outputOrder, &outputOrderListener, connection);
        }
    } else if (kind == "gtk_shell1") {
        connection->gnome = true;
    } else if (kind.starts_with("zwlr_")) {
        connection->wlroots = true;
    }
    if (!connection->keepObjects)
        return;
    if (kind == wl_output_interface.name) {
        connection->addOutput(name, version);
    } else if (kind == zxdg_output_manager_v1_interface.name && !connection->outputManager) {
        connection->outputManager = static_cast<zxdg_output_manager_v1 *>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min<std::uint32_t>(version, 3)));
        for (auto &output : connection->outputs)
            connection->watchLogicalGeometry(*output);
    }
}

void onGlobalRemoved(void *data, wl_registry *, uint32_t name)
{
    auto *connection = static_cast<Connection *>(data);
    if (std::erase_if(connection->outputs, [name](const auto &output) { return output->name == name; }))
        connection->layoutChanged = true;
}

const wl_registry_listener registryListener = {onGlobal, onGlobalRemoved};

// A connection with the registry read; nothing when none opens or the
// compositor does not answer.
std::unique_ptr<Connection> connect(bool keepObjects)
{
    auto connection = std::make_unique<Connection>();
    connection->keepObjects = keepObjects;
    connection->display.reset(wl_display_connect(nullptr));
    if (!connection->display)
        return nullptr;
    connection->registry = wl_display_get_registry(connection->display.get());
    wl_registry_add_listener(connection->registry, &registryListener, connection.get());
    // The second trip brings what the objects bound in the first announce.
    if (!roundtrip(connection->display.get()) || (keepObjects && !roundtrip(connection->display.get())))
        return nullptr;
    return connection;
}

std::uint32_t milliseconds()
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

} // namespace

bool displayConfigured()
{
    return env("WAYLAND_DISPLAY") || env("WAYLAND_SOCKET");
}

std::string displayName()
{
    const char *name = env("WAYLAND_DISPLAY");
    return name ? name : "wayland-0";
}

bool displayReachable()
{
    // WAYLAND_SOCKET is one connection, handed over once: the pointer's.
    if (env("WAYLAND_SOCKET"))
        return true;
    return DisplayPtr(wl_display_connect(nullptr)) != nullptr;
}

std::optional<Offer> probe()
{
    const std::unique_ptr<Connection> connection = connect(false);
    if (!connection)
        return std::nullopt;
    return connection->offer();
}

void exitForLostDisplay()
{
    Platform::exitForLostDisplay("Wayland", displayName().c_str());
}

struct PointerSession::Impl {
    std::unique_ptr<Connection> connection;
    Route route = Route::None;
    std::unique_ptr<QSocketNotifier> readable, writable;
    bool broken = false;
    bool eventsRead = false;
    // Bytes sent since the last complete flush, and the moves that wait
    // while the socket is full, in order.
    std::size_t queued = 0;
    bool blocked = false;
    std::deque<KCore::DesktopPoint> held;

    wl_display *display() const { return connection->display.get(); }
    void readEvents();
    void failed();
    bool flushNow();
    void send(KCore::DesktopPoint point);
    void write(KCore::DesktopPoint point);
    // The layout's bounding box: wlroots maps absolute motion onto it.
    int left = 0, top = 0, right = 0, bottom = 0;
    void drained();
};

void PointerSession::Impl::failed()
{
    const int error = wl_display_get_error(display());
    // The compositor closed on us or went away: like a lost X display.
    if (error != EPROTO)
        exitForLostDisplay();
    // It refused something of ours: this session is over, a later check
    // opens another.
    broken = true;
    readable->setEnabled(false);
    writable->setEnabled(false);
}

// Only what has already arrived; never waits for the compositor.
void PointerSession::Impl::readEvents()
{
    if (broken)
        return;
    wl_display *d = display();
    while (wl_display_prepare_read(d) != 0)
        if (wl_display_dispatch_pending(d) < 0)
            return failed();
    pollfd fd = {wl_display_get_fd(d), POLLIN, 0};
    if (::poll(&fd, 1, 0) > 0) {
        if (wl_display_read_events(d) < 0)
            return failed();
    } else {
        wl_display_cancel_read(d);
    }
    if (wl_display_dispatch_pending(d) < 0)
        failed();
}

bool PointerSession::Impl::flushNow()
{
    if (broken)
        return false;
    if (wl_display_flush(display()) >= 0) {
        queued = 0;
        return true;
    }
    if (errno != EAGAIN) {
        failed();
        return false;
    }
    blocked = true;
    writable->setEnabled(true);
    return false;
}

void PointerSession::Impl::send(KCore::DesktopPoint point)
{
    if (blocked || !held.empty() || (queued + kMoveBytes > kQueueBound && !flushNow())) {
        // A compositor that stops reading for long costs the moves in
        // between, never the order or the last one.
        if (held.size() < kHeldMoves)
            held.push_back(point);
        else
            held.back() = point;
        return;
    }
    write(point);
}

void PointerSession::Impl::write(KCore::DesktopPoint point)
{
    if (route == Route::VirtualPointer) {
        // The extent is the bounding box in logical pixels, so each pixel is
        // one step of it: nothing is lost to rounding.
        zwlr_virtual_pointer_v1_motion_absolute(connection->virtualPointer, milliseconds(),
            static_cast<std::uint32_t>(point.x - left), static_cast<std::uint32_t>(point.y - top),
            static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top));
        zwlr_virtual_pointer_v1_frame(connection->virtualPointer);
    } else {
        org_kde_kwin_fake_input_pointer_motion_absolute(connection->fakeInput, wl_fixed_from_int(point.x),
            wl_fixed_from_int(point.y));
    }
    queued += kMoveBytes;
}

void PointerSession::Impl::drained()
{
    if (!flushNow())
        return;
    blocked = false;
    writable->setEnabled(false);
    while (!held.empty()) {
        if (queued + kMoveBytes > kQueueBound && !flushNow())
            return;
        write(held.front());
        held.pop_front();
    }
    flushNow();
}

PointerSession::PointerSession(std::unique_ptr<Impl> impl)
    : impl(std::move(impl))
{
}

PointerSession::~PointerSession() = default;

std::unique_ptr<PointerSession> PointerSession::open(std::optional<Offer> *found)
{
    auto impl = std::make_unique<Impl>();
    impl->connection = connect(true);
    if (!impl->connection)
        return nullptr;
    Connection &c = *impl->connection;
    const Offer offer = c.offer();
    if (found)
        *found = offer;
    impl->route = offer.route;
    if (offer.route == Route::VirtualPointer && c.pointerManager) {
        // One device for the connection's life, on the default seat.
        c.virtualPointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(c.pointerManager, nullptr);
    } else if (offer.route == Route::FakeInput && c.fakeInput) {
        org_kde_kwin_fake_input_authenticate(c.fakeInput, program_invocation_short_name,
            "moves the pointer for its main app");
    } else {
        return nullptr;
    }
    // KWin closes a connection whose request it refuses: then it is no use.
    if (!roundtrip(c.display.get()))
        return nullptr;
    Impl *raw = impl.get();
    const int fd = wl_display_get_fd(c.display.get());
    raw->readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(raw->readable.get(), &QSocketNotifier::activated, [raw] { raw->readEvents(); });
    raw->writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    raw->writable->setEnabled(false);
    QObject::connect(raw->writable.get(), &QSocketNotifier::activated, [raw] { raw->drained(); });
    return std::unique_ptr<PointerSession>(new PointerSession(std::move(impl)));
}

bool PointerSession::usable() const
{
    return !impl->broken;
}

Route PointerSession::route() const
{
    return impl->route;
}

void PointerSession::post(double x, double y)
{
    if (impl->broken)
        return;
    // Layout changes are read once per batch, before its first move.
    if (!impl->eventsRead) {
        impl->readEvents();
        impl->eventsRead = true;
    }
    Impl &d = *impl;
    if (d.connection->layoutChanged) {
        const std::vector<KCore::MonitorRect> &monitors = d.connection->monitors();
        d.left = d.top = d.right = d.bottom = 0;
        for (std::size_t i = 0; i < monitors.size(); ++i) {
            const KCore::MonitorRect &m = monitors[i];
            d.left = i ? std::min(d.left, m.x) : m.x, d.top = i ? std::min(d.top, m.y) : m.y;
            d.right = i ? std::max(d.right, m.x + m.width) : m.x + m.width;
            d.bottom = i ? std::max(d.bottom, m.y + m.height) : m.y + m.height;
        }
    }
    if (const std::optional<KCore::DesktopPoint> point = KCore::placePoint(x, y, d.connection->monitors()))
        d.send(*point);
}

void PointerSession::flush()
{
    impl->eventsRead = false;
    if (!impl->blocked)
        impl->flushNow();
}

} // namespace WaylandInput
