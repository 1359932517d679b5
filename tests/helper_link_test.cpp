// The helper against a main app: the real binaries in a sandbox on a private
// display, and the real wiring in the harness, on the fake platform and the
// offscreen display, against a main app played by the test.
#include "network/link_config.h"
#include "tests/support/fake_main_app.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/loop.h"
#include "harness/process.h"
#include "tests/support/reliability.h"
#include "harness/sandbox.h"
#include "tests/support/x_client.h"
#include "harness/xvfb.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <X11/Xlib.h>

#include <csignal>
#include <unistd.h>
#include <cstring>
#include <sys/wait.h>
#include <sys/un.h>
#include <sys/socket.h>
#include <fstream>

using namespace std::chrono_literals;
using namespace Harness;
using namespace TestSupport;

namespace {

// The installed helper and Tessaron in a sandbox on a private display;
// Tessaron starts the helper and runs the script.
class HelperAndStandIn : public testing::Test {
protected:
    void SetUp() override
    {
        sandbox.installMainApp();
        sandbox.installHelper();
    }
    // A Wayland display that is named but cannot be reached leaves X in charge.
    bool launch(const std::string &script)
    {
        auto environment = sandbox.environment(x.display());
        environment["WAYLAND_DISPLAY"] = "/nonexistent/wayland-0";
        return mainApp.start(sandbox.command({"/Applications/Tessaron.app/Contents/MacOS/tessaron", "--launch-helper",
            "-c", script}), environment);
    }

    Xvfb x;
    Sandbox sandbox;
    Process mainApp;
};

// Tessaron starts the installed helper, they shake hands, its moves reach the
// X pointer, and after Tessaron closes the link the helper quits on its own.
TEST_F(HelperAndStandIn, TheMainAppStartsTheHelperAndItsMovesReachTheXPointer)
{
    ASSERT_TRUE(x.start());
    ASSERT_TRUE(launch("move 100 200.5; line 300 300 310 310 11; wait 300; close; wait 2500; exit"));
    ASSERT_TRUE(mainApp.wait(20s));
    EXPECT_EQ(mainApp.exitCode(), 0) << mainApp.err();
    for (const char *expected : {"helper-launched ", "handshake-ok\n", "accessibility-status 1 1\n", "features 3\n",
             "sent 1 moves\n", "sent 11 moves\n", "disconnected\n", "helper-exited 0\n"})
        EXPECT_NE(mainApp.out().find(expected), std::string::npos) << expected << " in:\n" << mainApp.out();
    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(pointerPosition(display), std::make_pair(310, 310));
    XCloseDisplay(display);
    recordTrial("the main app closes the link after its moves", "every move reached the X pointer; quit a second later");
}

// The main app's origin is the primary monitor's corner, also after the
// layout changes under a linked helper. Then the display dies: the helper
// says so in one line and ends with status 1 at once, which closes the link.
TEST_F(HelperAndStandIn, MovesFollowThePrimaryMonitorUntilTheDisplayGoesAway)
{
    if (::access("/usr/bin/xrandr", X_OK) != 0)
        GTEST_SKIP() << "xrandr (x11-xserver-utils) is not installed";
    ASSERT_TRUE(x.start({"-screen", "0", "3200x1100x24"}));
    const auto xrandr = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/xrandr", "--display", x.display()});
        Process p;
        return p.start(args) && p.wait(10s) && p.exitCode() == 0;
    };
    ASSERT_TRUE(xrandr({"--setmonitor", "Left", "1920/500x1080/300+0+0", "screen"}));
    ASSERT_TRUE(xrandr({"--setmonitor", "*Main", "1280/300x1024/250+1920+0", "none"}));
    ASSERT_TRUE(launch("move 100 100; wait 4000; move -100 50; wait 600000"));
    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    ASSERT_TRUE(runLoopUntil([&] { return pointerPosition(display) == std::make_pair(2020, 100); }, 20s))
        << mainApp.out() << mainApp.err();
    // Main moves below the left monitor while the link stays up.
    ASSERT_TRUE(xrandr({"--delmonitor", "Main"}));
    ASSERT_TRUE(xrandr({"--setmonitor", "*Main", "1280/300x20/50+320+1080", "none"}));
    EXPECT_TRUE(runLoopUntil([&] { return pointerPosition(display) == std::make_pair(220, 1079); }, 10s))
        << pointerPosition(display).first << "," << pointerPosition(display).second;
    XCloseDisplay(display);
    recordTrial("the primary monitor moved from right of another to below it, while linked",
        "moves landed at the primary's corner before and after, the point beside it on the nearest monitor");
    x.stop();
    QElapsedTimer clock;
    clock.start();
    std::string line;
    while (mainApp.readLine(&line, 5s) && !line.starts_with("helper-exited")) {
    }
    EXPECT_LE(clock.elapsed(), 1000);
    EXPECT_EQ(line, "helper-exited 1");
    ::kill(sandbox.commandPid(), SIGTERM);
    ASSERT_TRUE(mainApp.wait(10s));
    EXPECT_EQ(mainApp.err(), "tessaron-helper: lost the X display \"" + x.display() + "\"\n");
    recordTrial("the X server dies while the helper is linked",
        "one line naming the display, status 1 within a second; the link closed with it");
}

// Killing a sandbox's process ends everything started inside it.
TEST(Sandbox, KillingItEndsWhatItsCommandStarted)
{
    Sandbox sandbox;
    // sleep sums its arguments: a number of our own marks the processes.
    const std::string mark = std::to_string(::getpid()) + ".25";
    std::vector<int> found;
    const auto marked = [&] {
        found.clear();
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            // Read through the stream: a process that ends meanwhile is an
            // error of the read, which the stream keeps to itself.
            std::ifstream in(entry.path() / "cmdline");
            std::string cmdline;
            for (std::string part; std::getline(in, part, '\0');)
                cmdline += part + " ";
            if (cmdline.starts_with("sleep ") && cmdline.find(mark) != std::string::npos)
                found.push_back(std::stoi(entry.path().filename()));
        }
        return found.size();
    };
    {
        Process inside;
        ASSERT_TRUE(inside.start(sandbox.command({"/bin/sh", "-c",
            "(sleep 300 " + mark + " &) ; sleep 300 " + mark})));
        ASSERT_TRUE(runLoopUntil([&] { return marked() == 2; }, 10s));
    }
    EXPECT_TRUE(runLoopUntil([&] { return marked() == 0; }, 5s)) << found.size() << " left";
}

TEST(HelperPermission, WithoutXTestItGuidesTheUserNeverConnectsAndClosingTheWindowQuits)
{
    Xvfb x;
    ASSERT_TRUE(x.start({"-extension", "XTEST"}));
    TempDir home;
    std::filesystem::create_directories(home / "Library/Group Containers/group.pro.tessaron.shared");
    FakeMainApp app(home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock", "any");
    Process helper;
    ASSERT_TRUE(helper.start({TESSARON_HELPER_EXECUTABLE},
        {{"HOME", home.path()}, {"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", ""}}));
    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    XWindowId window = 0;
    ASSERT_TRUE(runLoopUntil([&] { return (window = findWindow(display, "Tessaron Helper")) != 0; }, 10s));
    // Well past the one-second poll: still waiting for the permission.
    EXPECT_FALSE(runLoopUntil([&] { return app.accepted() || helper.wait(0ms); }, 2500ms));
    askToClose(display, window);
    ASSERT_TRUE(runLoopUntil([&] { return helper.wait(0ms); }, 5s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_FALSE(app.accepted());
    XCloseDisplay(display);
    recordTrial("a display without XTEST, and the user closing the guidance window",
        "showed the window, never connected, quit in order when it was closed");
}

// The harness runs the helper with its bundle in place and Tessaron
// installed, trusted while the trust file exists; the platform's actions
// come out on stdout.
class Wiring : public testing::Test {
protected:
    Wiring()
    {
        makeBundle(home / "Library/Containers/pro.tessaron/Data/Library/Application Support", "Tessaron Helper",
            {{"CFBundleName", "Tessaron Helper"}, {"CFBundleIdentifier", "pro.tessaron.helper"},
                {"CFBundleShortVersionString", "1.0.0"}, {"CFBundleVersion", "1"}});
        std::filesystem::create_directories(home / "Applications/Tessaron.app");
        std::filesystem::create_directories(home / "Library/Group Containers/group.pro.tessaron.shared");
        writeFile(trust, "");
    }
    void start(const std::string &version = "10.13.6")
    {
        helper = std::make_unique<Process>();
        ASSERT_TRUE(helper->start({TESSARON_HELPER_HARNESS, "helper", version},
            {{"HOME", home.path()}, {"QT_QPA_PLATFORM", "offscreen"}, {"TESSARON_TRUST_FILE", trust}}));
        clock.start();
    }
    // Milliseconds on the clock when the helper exits, -1 if it does not.
    qint64 exitAt(std::chrono::milliseconds limit)
    {
        return runLoopUntil([&] { return helper->wait(0ms); }, limit) ? clock.elapsed() : -1;
    }

    TempDir home;
    const std::string socket = home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock";
    const std::string trust = home / "trusted";
    const std::string secret = [] {
        return KNetwork::linkSecret("pro.tessaron", FakePlatform().platformUUID());
    }();
    std::unique_ptr<Process> helper;
    QElapsedTimer clock;
};

// No socket to connect to: a lost link like any other. The second is timed
// from the helper's own start, so only its lower end is checked here.
TEST_F(Wiring, WithoutAMainAppItQuitsAfterASecond)
{
    start();
    EXPECT_GE(exitAt(10s), 950);
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->out() + helper->err(), "");
    recordTrial("no main app listening", "quit in order a second later, saying nothing");
}

// A link that fails twice within the same second (two expired frames in one
// read; the second still arrives after the first closed the link) quits one
// second after the first failure; a move that arrives after them finds the
// service gone with the link.
TEST_F(Wiring, TwoFailuresWithinASecondQuitOnceAndLaterMovesAreNotActedOn)
{
    FakeMainApp app(socket, secret);
    start();
    // Handshake, the permission report, the features exchange.
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakeDone() && app.received.size() == 1; }, 5s));
    EXPECT_EQ(app.received[0], bytes({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x01}));
    ASSERT_TRUE(app.sendPayload(bytes({0x02, 0, 0, 0, 0x01, 0x03})));
    ASSERT_TRUE(runLoopUntil([&] { return app.received.size() == 2; }, 5s));
    ASSERT_TRUE(app.sendPayload(moveMessage(5, 6)));
    std::string line;
    ASSERT_TRUE(helper->readLine(&line, 5s));
    EXPECT_EQ(line, "move 5.000000 6.000000");
    std::vector<std::byte> chunk;
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    for (const auto &[payload, timestamp] : {std::pair{moveMessage(7, 8), 0u}, {moveMessage(7, 8), 0u}, {moveMessage(9, 9), now}}) {
        const auto frame = KNetwork::encodeFrame(payload.data(), payload.size(), timestamp);
        chunk.insert(chunk.end(), frame.begin(), frame.end());
    }
    app.sendRaw(chunk);
    clock.start();
    const qint64 at = exitAt(5s);
    EXPECT_GE(at, 950);
    EXPECT_LE(at, 1500);
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->out(), "move 5.000000 6.000000\n");
    EXPECT_TRUE(app.peerClosed());
    recordTrial("two stale frames and a move in one read, after a working link",
        "closed the link at the first, acted on nothing after it, quit once a second later");
}

// A revoked permission closes the link at once; the grant connects anew.
// When the main app then closes the link, the helper quits a second later,
// timed from the close it sees, not from its start, which a loaded machine
// stretches.
TEST_F(Wiring, ARevokedPermissionReleasesTheLinkBeforeTheGrantConnectsAgain)
{
    FakeMainApp app(socket, secret);
    start();
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakes == 1; }, 5s));
    std::filesystem::remove(trust);
    // The granted permission is checked every five seconds.
    ASSERT_TRUE(runLoopUntil([&] { return app.events.size() == 2; }, 8s));
    writeFile(trust, "");
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakes == 2; }, 5s));
    EXPECT_EQ(app.events, (std::vector<std::string>{"accept", "closed", "accept"}));
    app.closeConnection();
    clock.start();
    const qint64 at = exitAt(5s);
    EXPECT_GE(at, 950);
    EXPECT_LE(at, 1500);
    EXPECT_EQ(helper->exitCode(), 0);
    recordTrial("the input permission revoked while linked, then granted again",
        "closed the link at once, waited, connected anew once granted");
}

// A main app of another user that writes a valid handshake answer and a
// move before it is asked anything: not one byte of it is read.
TEST_F(Wiring, AMainAppOfAnotherUserIsNeverHeardEvenWhenItWritesFirst)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "listening as another user needs root";
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    const Bytes eager = join({handshake(secret, now),
        frame(moveMessage(100, 100), now)});
    for (std::filesystem::path p = socket; p != home.path(); p = p.parent_path())
        std::filesystem::permissions(p.parent_path(), std::filesystem::perms::all);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket.c_str(), socket.size());
    const pid_t other = ::fork();
    if (other == 0) {
        // Only system calls from here on: the test process has threads.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0
            || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
            ::_exit(2);
        const int conn = ::accept(fd, nullptr, nullptr);
        [[maybe_unused]] ssize_t n = ::write(conn, eager.data(), eager.size());
        ::sleep(30);
        ::_exit(0);
    }
    ASSERT_GT(other, 0);
    ASSERT_TRUE(runLoopUntil([&] { return std::filesystem::exists(socket); }, 5s));
    start();
    EXPECT_GE(exitAt(5s), 950);
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->out(), "") << "a move was acted on";
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
    recordTrial("a main app of another user that writes a handshake answer and a move first",
        "read none of it, counted the link as lost, quit a second later");
}

// On 10.14 the helper only offers the full app, and quits on the answer.
TEST_F(Wiring, OnAnUnsupportedSystemTheNoticeIsAllItShows)
{
    FakeMainApp app(socket, secret);
    start("10.14.0");
    ASSERT_GE(exitAt(10s), 0);
    EXPECT_EQ(helper->exitCode(), 0);
    EXPECT_EQ(helper->out().rfind("alert Tessaron Helper v1.0.0 (1) | Tessaron Helper is only compatible with\n", 0), 0u)
        << helper->out();
    EXPECT_EQ(std::count(helper->out().begin(), helper->out().end(), '|'), 4) << "one alert, no other action";
    EXPECT_FALSE(app.accepted());
}

} // namespace
