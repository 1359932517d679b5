// End to end on one private Xvfb: a main app (this program, speaking the link
// protocol) streams MovePointer frames to the real helper, and an observer
// client sees each move arrive as pointer motion. Beside it, the same moves
// through a raw XTEST loop (the ceiling) and through xdotool.
//
//   pointer_e2e_bench [moves] [latency-samples]
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "platform/linux/machine_id.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "pointer_e2e_bench: %s\n", what.c_str());
    std::exit(1);
}

struct Point {
    int x, y;
    bool operator==(const Point &) const = default;
};

// The i-th target: every move lands somewhere new.
Point target(std::size_t i)
{
    return {static_cast<int>(10 + i % 1000), static_cast<int>(10 + (i / 1000) % 700)};
}

// Another client on the display that sees every pointer motion on the root.
class Observer {
public:
    explicit Observer(const std::string &display)
    {
        d = XOpenDisplay(display.c_str());
        if (!d)
            fail("observer cannot open " + display);
        int event, error;
        if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error))
            fail("no XInput on the display");
        int major = 2, minor = 0;
        XIQueryVersion(d, &major, &minor);
        unsigned char bits[XIMaskLen(XI_Motion)] = {};
        XISetMask(bits, XI_Motion);
        XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
        XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
        XSync(d, False);
    }
    ~Observer() { XCloseDisplay(d); }

    // Waits for motion to the point; counts every motion seen on the way.
    bool waitFor(Point p, std::chrono::milliseconds limit, std::size_t *motions = nullptr)
    {
        auto deadline = Clock::now() + limit;
        for (;;) {
            while (XPending(d)) {
                XEvent event;
                XNextEvent(d, &event);
                if (event.type != GenericEvent || event.xcookie.extension != opcode || !XGetEventData(d, &event.xcookie))
                    continue;
                auto *motion = static_cast<XIDeviceEvent *>(event.xcookie.data);
                Point at{static_cast<int>(motion->root_x), static_cast<int>(motion->root_y)};
                XFreeEventData(d, &event.xcookie);
                if (motions)
                    ++*motions;
                if (at == p)
                    return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd fd = {ConnectionNumber(d), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 100)));
        }
    }
    void drain()
    {
        XSync(d, False);
        while (XPending(d)) {
            XEvent event;
            XNextEvent(d, &event);
        }
    }

private:
    Display *d = nullptr;
    int opcode = 0;
};

// Polls the pointer from another client until it stands at the point. Used
// for the streams, where watching every motion would load the server too.
bool pointerReaches(Display *d, Point p, std::chrono::seconds limit)
{
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        Window root, child;
        int x, y, wx, wy;
        unsigned int mask;
        XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
        if (Point{x, y} == p)
            return true;
        ::usleep(500);
    }
    return false;
}

std::vector<std::byte> movePayload(Point p)
{
    std::vector<std::byte> out = {std::byte{3}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{16}};
    for (double v : {static_cast<double>(p.x), static_cast<double>(p.y)}) {
        auto bits = std::bit_cast<std::uint64_t>(v);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::byte>(bits >> shift));
    }
    return out;
}

void writeAll(int fd, const std::byte *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0)
            fail(std::string("write to the helper: ") + std::strerror(errno));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The main app's side: listens, accepts the helper, completes the handshake
// and enables pointer moves.
class MainAppPeer {
public:
    MainAppPeer(const std::string &path)
    {
        listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listenFd, 1) != 0)
            fail("cannot listen at " + path);
        layer = std::make_shared<KNetwork::ProtocolLayer>(false, clock);
        layer->setSecret(KNetwork::linkSecret("pro.tessaron", Linux::machineUUID()));
        layer->setOnSend([this](const std::vector<std::byte> &frame) {
            writeAll(fd, frame.data(), frame.size());
            return true;
        });
        layer->setOnHandshake([this] { ready = true; });
        layer->setOnData([this](const std::vector<std::byte> &payload) {
            if (payload.size() == 6 && payload[0] == std::byte{2})
                featuresAnswered = true;
        });
    }
    ~MainAppPeer()
    {
        if (fd >= 0)
            ::close(fd);
        ::close(listenFd);
    }

    void connectHelper()
    {
        pollfd p = {listenFd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            fail("the helper did not connect");
        fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        pump([&] { return ready; });
        std::vector<std::byte> features = {std::byte{2}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{3}};
        layer->send(features.data(), features.size());
        pump([&] { return featuresAnswered; });
    }

    std::vector<std::byte> frame(Point p)
    {
        auto payload = movePayload(p);
        return KNetwork::encodeFrame(payload.data(), payload.size(), static_cast<std::uint32_t>(::time(nullptr)));
    }
    int socket() const { return fd; }

private:
    template <typename Done> void pump(Done done)
    {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (Clock::now() > deadline)
                fail("no answer from the helper");
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            std::vector<std::byte> chunk(8192);
            ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n <= 0)
                fail("the helper closed the link");
            chunk.resize(static_cast<std::size_t>(n));
            layer->processIncoming(chunk);
        }
    }

    int listenFd = -1;
    int fd = -1;
    bool ready = false;
    bool featuresAnswered = false;
    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

struct Row {
    const char *what;
    std::size_t moves;
    double seconds;
};

void printRow(const Row &row, double ceiling)
{
    double rate = static_cast<double>(row.moves) / row.seconds;
    std::printf("%-44s %9zu %9.3f %11.0f %7.2f\n", row.what, row.moves, row.seconds, rate, rate / ceiling);
}

} // namespace

int main(int argc, char **argv)
{
    std::size_t moves = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    std::size_t samples = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    std::size_t scriptMoves = std::min<std::size_t>(moves, 20000);
    std::size_t processMoves = 200;

    TestSupport::Xvfb x;
    if (!x.start())
        fail("cannot start Xvfb");
    ::setenv("DISPLAY", x.display().c_str(), 1);
    TestSupport::TempDir home;
    // The helper runs installed in its place, in a sandbox of its own.
    TestSupport::Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();

    Display *query = XOpenDisplay(x.display().c_str());
    if (!query)
        fail("cannot open the display");
    MainAppPeer peer(sandbox.socketPath());
    TestSupport::Process helper;
    if (!helper.start(sandbox.command({TestSupport::Sandbox::installedHelperInside()}), sandbox.environment(x.display())))
        fail("cannot start the helper");
    peer.connectHelper();

    // Sustained: every frame written as fast as the socket takes them.
    std::vector<std::byte> stream;
    stream.reserve(moves * 33);
    for (std::size_t i = 0; i < moves; ++i) {
        auto f = peer.frame(target(i));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    auto start = Clock::now();
    writeAll(peer.socket(), stream.data(), stream.size());
    if (!pointerReaches(query, target(moves - 1), std::chrono::seconds(60)))
        fail("the helper's last move never arrived");
    Row helperRow{"helper, socket stream (sustained)", moves, seconds(Clock::now() - start)};

    // Latency: one move at a time, from the write to the motion seen.
    Observer observer(x.display());
    std::vector<double> latencies;
    for (std::size_t i = 0; i < samples; ++i) {
        Point p = target(i * 7 + 3);
        auto f = peer.frame(p);
        observer.drain();
        auto t0 = Clock::now();
        writeAll(peer.socket(), f.data(), f.size());
        if (!observer.waitFor(p, std::chrono::seconds(5)))
            fail("a single move never arrived");
        latencies.push_back(seconds(Clock::now() - t0) * 1e6);
    }
    std::sort(latencies.begin(), latencies.end());

    // The floor of that path: XTEST straight from here, one move at a time.
    std::vector<double> rawLatencies;
    {
        Display *direct = XOpenDisplay(x.display().c_str());
        for (std::size_t i = 0; i < samples; ++i) {
            Point p = target(i * 7 + 5);
            observer.drain();
            auto t0 = Clock::now();
            XTestFakeMotionEvent(direct, 0, p.x, p.y, CurrentTime);
            XFlush(direct);
            if (!observer.waitFor(p, std::chrono::seconds(5)))
                fail("a raw single move never arrived");
            rawLatencies.push_back(seconds(Clock::now() - t0) * 1e6);
        }
        XCloseDisplay(direct);
        std::sort(rawLatencies.begin(), rawLatencies.end());
    }

    // The ceiling: XTEST motion and a flush per move, straight from here.
    Display *raw = XOpenDisplay(x.display().c_str());
    start = Clock::now();
    for (std::size_t i = 0; i < moves; ++i) {
        Point p = target(i + 1);
        XTestFakeMotionEvent(raw, 0, p.x, p.y, CurrentTime);
        XFlush(raw);
    }
    if (!pointerReaches(query, target(moves), std::chrono::seconds(60)))
        fail("the raw loop's last move never arrived");
    Row rawRow{"raw XTestFakeMotionEvent + XFlush (ceiling)", moves, seconds(Clock::now() - start)};
    XCloseDisplay(raw);

    // xdotool reading the same moves as a script.
    std::string script = home / "moves.xdotool";
    {
        std::ofstream out(script);
        for (std::size_t i = 0; i < scriptMoves; ++i)
            out << "mousemove " << target(i + 2).x << ' ' << target(i + 2).y << '\n';
    }
    start = Clock::now();
    TestSupport::Process xdotool;
    if (!xdotool.start({"/bin/sh", "-c", "exec xdotool - < \"$0\"", script}))
        fail("cannot run xdotool");
    if (!pointerReaches(query, target(scriptMoves + 1), std::chrono::seconds(120)))
        fail("xdotool's last move never arrived");
    Row scriptRow{"xdotool - (script on stdin)", scriptMoves, seconds(Clock::now() - start)};
    xdotool.wait(std::chrono::seconds(10));

    // One xdotool process per move.
    start = Clock::now();
    for (std::size_t i = 0; i < processMoves; ++i) {
        Point p = target(i + 5);
        TestSupport::Process one;
        one.start({"/usr/bin/xdotool", "mousemove", std::to_string(p.x), std::to_string(p.y)});
        one.wait(std::chrono::seconds(10));
    }
    if (!pointerReaches(query, target(processMoves + 4), std::chrono::seconds(10)))
        fail("xdotool's last single move never arrived");
    Row processRow{"xdotool mousemove, one process per move", processMoves, seconds(Clock::now() - start)};
    XCloseDisplay(query);

    ::kill(sandbox.commandPid(), SIGTERM);
    helper.wait(std::chrono::seconds(5));

    double ceiling = static_cast<double>(rawRow.moves) / rawRow.seconds;
    std::printf("%-44s %9s %9s %11s %7s\n", "path", "moves", "seconds", "moves/s", "vs raw");
    for (const Row &row : {helperRow, rawRow, scriptRow, processRow})
        printRow(row, ceiling);
    double scriptRate = static_cast<double>(scriptRow.moves) / scriptRow.seconds;
    double helperRate = static_cast<double>(helperRow.moves) / helperRow.seconds;
    auto percentile = [](const std::vector<double> &sorted, double q) {
        auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
        return sorted[std::min(sorted.size() - 1, at)];
    };
    std::printf("\nlatency, peer write -> motion seen (%zu single moves): p50 %.1f us, p99 %.1f us, max %.1f us\n",
                latencies.size(), percentile(latencies, 0.50), percentile(latencies, 0.99), latencies.back());
    std::printf("floor, XTEST from the observer's side -> motion seen:  p50 %.1f us, p99 %.1f us\n",
                percentile(rawLatencies, 0.50), percentile(rawLatencies, 0.99));
    std::printf("helper / raw ceiling: %.2f (target >= 0.80); helper / xdotool script: %.1f (target >= 10); "
                "p99 %.1f us (target <= 200)\n",
                helperRate / ceiling, helperRate / scriptRate, percentile(latencies, 0.99));
    return 0;
}
