// End to end on headless Wayland compositors, sway and KWin, each with one
// 1280x720 output at scale 1: the real helper, installed in a sandbox, takes
// MovePointer frames from this program as its main app; a client covering
// the output (wayland-pointer-recorder) reports where the pointer goes.
// Beside it, the ceiling: a raw client (this program, --raw-client) that
// sends each move straight through the compositor's injection interface.
// Both take their moves over a socket from here and are measured alike.
//
//   wayland_e2e_bench [moves] [latency-samples]
//
// sway refuses root, so as root the whole bench runs as nobody (65534): the
// helper takes only a main app of its own user.
#include "bench/main_app_peer.h"
#include "platform/linux/pointer_gnome.h"
#include "harness/compositor.h"
#include "harness/process.h"
#include "harness/sandbox.h"
#include "harness/temp_dir.h"

#include "fake-input-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include <wayland-client.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <optional>
#include <string_view>
#include <sys/wait.h>
#include <thread>

using namespace Bench;
using namespace Harness;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1280, kHeight = 720;
constexpr unsigned kNobody = 65534;

// The i-th target: every move lands somewhere new.
Point target(std::size_t i)
{
    return {static_cast<int>(10 + i % 1000), static_cast<int>(10 + (i / 1000) % 700)};
}

// --- The raw client: moves read from a socket as Points, sent on at once.

struct Injection {
    zwlr_virtual_pointer_manager_v1 *manager = nullptr;
    org_kde_kwin_fake_input *fakeInput = nullptr;
};

const wl_registry_listener registryListener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        auto *in = static_cast<Injection *>(data);
        const std::string_view kind(interface);
        if (kind == zwlr_virtual_pointer_manager_v1_interface.name)
            in->manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        else if (kind == org_kde_kwin_fake_input_interface.name && version >= 3)
            in->fakeInput = static_cast<org_kde_kwin_fake_input *>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 3));
    },
    [](void *, wl_registry *, uint32_t) {},
};

// libwayland ends a client that queues onto a full socket, so wait for room.
void flushAll(wl_display *display)
{
    while (wl_display_flush(display) < 0) {
        if (errno != EAGAIN)
            fail("raw client: the compositor closed the connection");
        pollfd room = {wl_display_get_fd(display), POLLOUT, 0};
        ::poll(&room, 1, -1);
    }
}

// The bench's end of a raw client's link, where its moves come from.
int connectTo(const std::string &socketPath)
{
    const int link = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(link, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        fail("raw client: cannot connect to " + socketPath);
    return link;
}

int rawClient(const std::string &socketPath)
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        fail("raw client: no compositor");
    Injection in;
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &in);
    wl_display_roundtrip(display);
    zwlr_virtual_pointer_v1 *pointer = nullptr;
    if (in.manager)
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(in.manager, nullptr);
    else if (in.fakeInput)
        org_kde_kwin_fake_input_authenticate(in.fakeInput, "wayland_e2e_bench", "the raw ceiling");
    else
        fail("raw client: the compositor offers this program no injection interface");
    if (wl_display_roundtrip(display) < 0)
        fail("raw client: the compositor refused the injection device");

    const int link = connectTo(socketPath);
    std::vector<Point> points(4096);
    auto *bytes = reinterpret_cast<char *>(points.data());
    std::size_t have = 0;
    for (;;) {
        pollfd fds[2] = {{link, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
        ::poll(fds, 2, -1);
        if ((fds[1].revents & POLLIN) && wl_display_dispatch(display) < 0)
            fail("raw client: lost the compositor");
        if (!(fds[0].revents & (POLLIN | POLLHUP)))
            continue;
        const ssize_t n = ::read(link, bytes + have, points.size() * sizeof(Point) - have);
        if (n <= 0)
            return 0;
        have += static_cast<std::size_t>(n);
        std::size_t queued = 0;
        for (std::size_t i = 0; i < have / sizeof(Point); ++i) {
            const Point p = points[i];
            if (pointer) {
                timespec now;
                ::clock_gettime(CLOCK_MONOTONIC, &now);
                zwlr_virtual_pointer_v1_motion_absolute(pointer, static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000),
                    static_cast<uint32_t>(p.x), static_cast<uint32_t>(p.y), kWidth, kHeight);
                zwlr_virtual_pointer_v1_frame(pointer);
            } else {
                org_kde_kwin_fake_input_pointer_motion_absolute(in.fakeInput, wl_fixed_from_int(p.x), wl_fixed_from_int(p.y));
            }
            // Well below libwayland's 4 KiB buffer.
            if ((queued += 36) >= 2048) {
                flushAll(display);
                queued = 0;
            }
        }
        flushAll(display);
        const std::size_t whole = have / sizeof(Point) * sizeof(Point);
        std::memmove(bytes, bytes + whole, have - whole);
        have -= whole;
    }
}

// Mutter's ceiling: a remote desktop session of its own, the moves straight
// from the link, with no frame layer between.
int rawMutterClient(const std::string &socketPath)
{
    int argc = 1;
    char name[] = "wayland_e2e_bench";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    if (GnomeInput::remoteDesktopVersion() < 1)
        fail("raw client: Mutter's remote desktop is not on the session bus");
    std::string reason;
    const auto session = GnomeInput::PointerSession::open(&reason);
    if (!session)
        fail("raw client: no Mutter session: " + reason);
    const int link = connectTo(socketPath);
    std::vector<Point> points(4096);
    auto *bytes = reinterpret_cast<char *>(points.data());
    std::size_t have = 0;
    QSocketNotifier readable(link, QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        const ssize_t n = ::read(link, bytes + have, points.size() * sizeof(Point) - have);
        if (n <= 0) {
            readable.setEnabled(false);
            app.quit();
            return;
        }
        have += static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < have / sizeof(Point); ++i)
            session->post(points[i].x, points[i].y);
        const std::size_t whole = have / sizeof(Point) * sizeof(Point);
        std::memmove(bytes, bytes + whole, have - whole);
        have -= whole;
    });
    return app.exec();
}

// --- The measuring side.

// What the processes of the compositor under way said, for a failure.
std::function<std::string()> logs;

[[noreturn]] void failOn(const std::string &what)
{
    fail(what + (logs ? "\n" + logs() : ""));
}

// The recorder's lines: where the pointer was seen.
class Recorder {
public:
    void start(const std::map<std::string, std::string> &env)
    {
        std::string line;
        if (process.start({TESSARON_WAYLAND_RECORDER}, env))
            while (process.readLine(&line, 10s) && line != "ready") {
            }
        if (line != "ready")
            fail("the recorder did not start: " + process.err());
    }
    // The next place the pointer entered or moved to.
    std::optional<Point> next(Clock::time_point deadline)
    {
        std::string line;
        while (process.readLine(&line, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()))) {
            Point p;
            char what[8];
            if (std::sscanf(line.c_str(), "%7s %d %d", what, &p.x, &p.y) == 3 &&
                (std::string_view(what) == "motion" || std::string_view(what) == "enter"))
                return p;
        }
        return std::nullopt;
    }
    bool waitFor(Point p, std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        for (auto at = next(deadline); at; at = next(deadline))
            if (*at == p)
                return true;
        return false;
    }
    // Why it stopped, when it did.
    std::string end()
    {
        if (!process.wait(100ms))
            return "the recorder still runs";
        return "the recorder ended with status " + std::to_string(process.exitCode()) + ": " + process.err();
    }

private:
    Process process;
};

struct Row {
    std::string what;
    std::size_t moves = 0, seen = 0;
    double seconds = 0;
    std::vector<double> latencies; // ms, sorted
};

// A compositor ends a client that falls far behind its events, the recorder
// too: a stream never runs more moves ahead of what it has reported.
constexpr std::size_t kLead = 1000;

// One path's figures: a stream of moves written as fast as the path and the
// lead take them, timed until the last is seen; then single moves, each
// timed from the write until it is seen.
Row measure(std::string what, int fd, const std::function<std::vector<std::byte>(Point)> &encode, Recorder &recorder,
    std::size_t &next, std::size_t moves, std::size_t samples)
{
    const auto send = [&](Point p) {
        const auto bytes = encode(p);
        writeAll(fd, bytes.data(), bytes.size());
    };
    // The first move may wait for a device to appear.
    send(target(next));
    if (!recorder.waitFor(target(next++), 20s))
        failOn(what + ": the first move never arrived");

    Row row;
    row.what = std::move(what), row.moves = moves;
    std::vector<std::byte> stream;
    std::vector<std::size_t> offsets = {0}; // where each move starts, and the end
    for (std::size_t i = 0; i < moves; ++i) {
        const auto bytes = encode(target(next + i));
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        offsets.push_back(stream.size());
    }
    const std::size_t first = next;
    next += moves;
    // How many of the stream's moves the recorder has accounted for.
    std::atomic<std::size_t> reported = 0;
    const auto start = Clock::now();
    std::string writeError;
    std::thread writer([&] {
        try {
            for (std::size_t written = 0; written < moves;) {
                const std::size_t seen = reported.load();
                const std::size_t upTo = std::min(moves, seen + kLead);
                if (upTo == written) {
                    reported.wait(seen);
                    continue;
                }
                writeAll(fd, stream.data() + offsets[written], offsets[upTo] - offsets[written]);
                written = upTo;
            }
        } catch (const Failure &failure) {
            writeError = failure.what();
        }
    });
    const auto deadline = start + 60s;
    while (reported.load() < moves) {
        const std::optional<Point> at = recorder.next(deadline);
        if (!at) {
            // The writer's next write fails, wherever it waits.
            ::shutdown(fd, SHUT_WR);
            reported.store(moves);
            reported.notify_one();
            writer.join();
            failOn(row.what + ": the last move of the stream never arrived; " + writeError + recorder.end());
        }
        // The stream's i-th move is target(first + i); x runs fastest.
        const std::size_t i = static_cast<std::size_t>(at->x - 10 + 1000 * (at->y - 10)) - first;
        if (i < moves) {
            ++row.seen;
            reported.store(i + 1);
            reported.notify_one();
        }
    }
    row.seconds = seconds(Clock::now() - start);
    writer.join();

    for (std::size_t i = 0; i < samples; ++i) {
        const Point p = target(next++);
        const auto t0 = Clock::now();
        send(p);
        if (!recorder.waitFor(p, 5s))
            failOn(row.what + ": a single move never arrived");
        row.latencies.push_back(seconds(Clock::now() - t0) * 1e3);
    }
    std::sort(row.latencies.begin(), row.latencies.end());
    return row;
}

struct Sizes {
    std::size_t moves, samples;
};

// The raw client's connection and the linked helper, both on the compositor
// the recorder watches: the raw row, then the helper's.
std::vector<Row> compare(const std::string &compositor, const std::string &rawName, int rawListener, MainAppPeer &peer,
    Recorder &recorder, Sizes sizes)
{
    const int raw = acceptOne(rawListener);
    if (raw < 0)
        failOn("the raw client did not connect");
    peer.connectHelper();
    std::size_t next = 0;
    std::vector<Row> rows;
    rows.push_back(measure(compositor + ", raw " + rawName + " (ceiling)", raw,
        [](Point p) {
            const auto *bytes = reinterpret_cast<const std::byte *>(&p);
            return std::vector<std::byte>(bytes, bytes + sizeof p);
        },
        recorder, next, sizes.moves, sizes.samples));
    ::close(raw);
    rows.push_back(measure(compositor + ", helper over the socket", peer.socket(),
        [&](Point p) { return peer.frame(p); }, recorder, next, sizes.moves, sizes.samples));
    return rows;
}

std::string self()
{
    return fs::read_symlink("/proc/self/exe");
}

const std::map<std::string, std::string> kNoDisplay = {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};

// A raw client (this program in the given mode) and the installed helper in
// a sandbox, both on the compositor the recorder watches.
struct RawClient {
    std::string compositor, name, mode;
    std::map<std::string, std::string> env;
};

std::vector<Row> besideTheHelper(const RawClient &client, const std::map<std::string, std::string> &helperEnv,
    Recorder &recorder, Sizes sizes, const std::function<std::string()> &compositorLog)
{
    Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();
    const std::string rawSocket = sandbox.home() + "/raw.sock";
    const int rawListener = listenAt(rawSocket);
    MainAppPeer peer(sandbox.socketPath());
    Process raw, helper;
    if (!raw.start({self(), client.mode, rawSocket}, client.env) ||
        !helper.start(sandbox.command({Sandbox::installedHelperInside()}), helperEnv))
        fail("cannot start the raw client or the helper");
    logs = [&] {
        raw.wait(100ms), helper.wait(100ms);
        return raw.err() + helper.err() + compositorLog();
    };
    auto rows = compare(client.compositor, client.name, rawListener, peer, recorder, sizes);
    logs = nullptr;
    ::kill(sandbox.commandPid(), SIGTERM);
    helper.wait(5s);
    ::close(rawListener);
    return rows;
}

std::vector<Row> onSway(Sizes sizes)
{
    HeadlessCompositor sway;
    if (!sway.start({{kWidth, kHeight, 0, 0, 1}}))
        fail("sway did not start:\n" + sway.log());
    Recorder recorder;
    recorder.start(sway.clientEnvironment());
    auto env = kNoDisplay;
    env["WAYLAND_DISPLAY"] = sway.socketPath();
    return besideTheHelper({"sway", "virtual pointer", "--raw-client", sway.clientEnvironment()}, env, recorder, sizes,
        [&] { return sway.log(); });
}

// KWin shows its fake input only to programs its desktop entries name, by
// the path KWin sees: the raw client runs as a copy inside the sandbox.
std::vector<Row> onKWin(Sizes sizes)
{
    Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();
    fs::copy_file(self(), sandbox.home() + "/wayland_e2e_bench");
    writeFile(sandbox.home() + "/.local/share/applications/wayland_e2e_bench.desktop",
        "[Desktop Entry]\nType=Application\nName=wayland_e2e_bench\nExec=/home/user/wayland_e2e_bench --raw-client\n"
        "NoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    KWinInSandbox kwin(sandbox, {kWidth, kHeight, 1, 1});
    const int rawListener = listenAt(sandbox.home() + "/raw.sock");
    MainAppPeer peer(sandbox.socketPath());
    Process box;
    if (!box.start(kwin.command({"/bin/sh", "-c",
                       "\"$HOME/wayland_e2e_bench\" --raw-client \"$HOME/raw.sock\" & exec \"$0\"",
                       Sandbox::installedHelperInside()}),
            kNoDisplay))
        fail("cannot start the sandbox");
    if (!kwin.waitUntilReady())
        fail("KWin did not start:\n" + kwin.log());
    TempDir runtime;
    Recorder recorder;
    recorder.start({{"WAYLAND_DISPLAY", kwin.socketPath()}, {"XDG_RUNTIME_DIR", runtime.path()}, {"DISPLAY", ""}});
    kwin.release();
    logs = [&] {
        box.wait(100ms);
        return box.err() + kwin.log();
    };
    auto rows = compare("KWin", "fake input", rawListener, peer, recorder, sizes);
    logs = nullptr;
    box.signal(SIGTERM);
    box.wait(10s);
    ::close(rawListener);
    return rows;
}

// Mutter on a private bus; both clients get a remote desktop session of
// their own.
std::vector<Row> onMutter(Sizes sizes)
{
    HeadlessMutter mutter;
    if (!mutter.start({std::to_string(kWidth) + "x" + std::to_string(kHeight)}))
        fail("Mutter did not start:\n" + mutter.log());
    TempDir runtime;
    Recorder recorder;
    recorder.start({{"WAYLAND_DISPLAY", mutter.socketPath()}, {"XDG_RUNTIME_DIR", runtime.path()}, {"DISPLAY", ""}});
    // Mutter grows a new window into place for a moment.
    std::this_thread::sleep_for(1s);
    auto env = kNoDisplay;
    env["WAYLAND_DISPLAY"] = mutter.socketPath();
    env["DBUS_SESSION_BUS_ADDRESS"] = mutter.busAddress();
    return besideTheHelper({"Mutter", "remote desktop", "--raw-mutter", env}, env, recorder, sizes,
        [&] { return mutter.log(); });
}

// As root: everything again as nobody, once nobody can read what it needs.
int asNobody(char **argv)
{
    const std::vector<std::string> needed = {self(), TESSARON_WAYLAND_RECORDER, TESSARON_HELPER_BUNDLE,
        TESSARON_MAIN_APP_BUNDLE, TESSARON_SANDBOX_SCRIPT};
    const pid_t check = ::fork();
    if (check == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(2);
        for (const auto &path : needed)
            if (::access(path.c_str(), R_OK | X_OK) != 0) {
                std::fprintf(stderr,
                    "wayland_e2e_bench: started as root, the bench runs as uid %u (sway refuses root), and that\n"
                    "  user cannot read %s: build in a tree it can read, or run the bench as another user\n",
                    kNobody, path.c_str());
                ::_exit(1);
            }
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(check, &status, 0) != check || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    std::vector<std::string> args = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self()};
    for (char **a = argv + 1; *a; ++a)
        args.emplace_back(*a);
    std::vector<char *> raw;
    for (auto &a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    // Our working folder may be closed to nobody.
    if (::chdir("/") == 0)
        ::execv(raw[0], raw.data());
    fail(std::string("cannot run setpriv: ") + std::strerror(errno));
}

} // namespace

int main(int argc, char **argv)
try {
    if (argc == 3 && std::string_view(argv[1]) == "--raw-client")
        return rawClient(argv[2]);
    if (argc == 3 && std::string_view(argv[1]) == "--raw-mutter")
        return rawMutterClient(argv[2]);
    if (::getuid() == 0)
        return asNobody(argv);
    const Sizes sizes = {argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000,
        argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000};
    // Each move of a run lands on a point of its own.
    if (sizes.moves == 0 || sizes.samples == 0 || sizes.moves + sizes.samples > 300000)
        fail("usage: wayland_e2e_bench [moves] [latency-samples], both above 0, together at most 300000");

    struct Compositor {
        const char *name;
        std::vector<Row> rows; // the raw client's, the helper's
    };
    std::vector<Compositor> compositors;
    if (std::string why = HeadlessCompositor::missing(); !why.empty())
        std::printf("sway: skipped, %s\n", why.c_str());
    else
        compositors.push_back({"sway", onSway(sizes)});
    if (std::string why = KWinInSandbox::missing(); !why.empty())
        std::printf("KWin: skipped, %s\n", why.c_str());
    else
        compositors.push_back({"KWin", onKWin(sizes)});
    if (std::string why = HeadlessMutter::missing(); !why.empty())
        std::printf("Mutter: skipped, %s\n", why.c_str());
    else
        compositors.push_back({"Mutter", onMutter(sizes)});

    const auto rate = [](const Row &row) { return static_cast<double>(row.moves) / row.seconds; };
    std::printf("%-40s %7s %7s %8s %9s %7s %7s %7s\n", "path (one 1280x720 output, scale 1)", "moves", "seen",
        "seconds", "moves/s", "vs raw", "p50 ms", "p99 ms");
    for (const auto &[name, rows] : compositors)
        for (const Row &row : rows)
            std::printf("%-40s %7zu %7zu %8.3f %9.0f %7.2f %7.3f %7.3f\n", row.what.c_str(), row.moves, row.seen,
                row.seconds, rate(row), rate(row) / rate(rows[0]), percentile(row.latencies, 0.50),
                percentile(row.latencies, 0.99));
    std::printf("\nstreams: timed until the recorder saw the last move, never more than %zu moves ahead of it;\n"
                "latency: %zu single moves, from the write until the recorder saw the move\n",
        kLead, sizes.samples);
    for (const auto &[name, rows] : compositors)
        std::printf("%s: helper / raw ceiling %.2f; p99 %.3f ms beside the raw client's %.3f ms\n", name,
            rate(rows[1]) / rate(rows[0]), percentile(rows[1].latencies, 0.99), percentile(rows[0].latencies, 0.99));
    return 0;
} catch (const Failure &failure) {
    return report(failure);
}
