// End to end on one private Xvfb: a main app (this program, speaking the link
// protocol) streams MovePointer frames to the real helper, and an observer
// client sees each move arrive as pointer motion. Beside it, the same moves
// through a raw XTEST loop (the ceiling) and through xdotool.
//
//   pointer_e2e_bench [moves] [latency-samples]
#include "bench/main_app_peer.h"
#include "harness/process.h"
#include "harness/sandbox.h"
#include "harness/temp_dir.h"
#include "harness/xvfb.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <csignal>
#include <fstream>

using namespace Bench;

namespace {

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
try {
    std::size_t moves = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    std::size_t samples = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    std::size_t scriptMoves = std::min<std::size_t>(moves, 20000);
    std::size_t processMoves = 200;

    Harness::Xvfb x;
    if (!x.start())
        fail("cannot start Xvfb");
    ::setenv("DISPLAY", x.display().c_str(), 1);
    Harness::TempDir home;
    // The helper runs installed in its place, in a sandbox of its own.
    Harness::Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();

    Display *query = XOpenDisplay(x.display().c_str());
    if (!query)
        fail("cannot open the display");
    MainAppPeer peer(sandbox.socketPath());
    Harness::Process helper;
    if (!helper.start(sandbox.command({Harness::Sandbox::installedHelperInside()}), sandbox.environment(x.display())))
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
    Harness::Process xdotool;
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
        Harness::Process one;
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
    std::printf("\nlatency, peer write -> motion seen (%zu single moves): p50 %.1f us, p99 %.1f us, max %.1f us\n",
                latencies.size(), percentile(latencies, 0.50), percentile(latencies, 0.99), latencies.back());
    std::printf("floor, XTEST from the observer's side -> motion seen:  p50 %.1f us, p99 %.1f us\n",
                percentile(rawLatencies, 0.50), percentile(rawLatencies, 0.99));
    std::printf("helper / raw ceiling: %.2f (target >= 0.80); helper / xdotool script: %.1f (target >= 10); "
                "p99 %.1f us (target <= 200)\n",
                helperRate / ceiling, helperRate / scriptRate, percentile(latencies, 0.99));
    return 0;
} catch (const Failure &failure) {
    return report(failure);
}
