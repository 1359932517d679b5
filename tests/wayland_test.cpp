// The real helper on headless Wayland compositors, against the stand-in main
// app in a sandbox; a Wayland client with a full-screen surface on every
// output records where the pointer really goes.
#include "harness/compositor.h"
#include "tests/support/fake_main_app.h"
#include "tests/support/loop.h"
#include "harness/process.h"
#include "tests/support/reliability.h"
#include "harness/sandbox.h"
#include "harness/temp_dir.h"
#include "tests/support/x_client.h"
#include "harness/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>

using namespace std::chrono_literals;
using namespace Harness;
using namespace TestSupport;

namespace {

struct Point {
    double x, y;     // as the main app sends it
    int atX, atY;    // where the pointer lands, in the compositor's logical space
};

struct LayoutCase {
    const char *name;
    std::vector<HeadlessCompositor::OutputLayout> outputs;
    std::vector<Point> points;
};

// Each point lands once, in order; a move onto the spot of the one before
// would not be reported, so none is.
const LayoutCase kLayouts[] = {
    {"OneOutputAtScaleOne", {{1280, 720, 0, 0, 1}},
        {{100, 200.4, 100, 200}, {0, 0, 0, 0}, {1279, 719, 1279, 719}, {640.5, 1, 641, 1}, {-50, 5000, 0, 719}}},
    // 2560x1440 pixels are 1280x720 logical ones: the main app's units.
    {"OneOutputAtScaleTwo", {{2560, 1440, 0, 0, 2}},
        {{100, 200, 100, 200}, {1279, 719, 1279, 719}, {1281, 3, 1279, 3}, {0.4, 700, 0, 700}}},
    // The main display is the one at the origin; the second lies right of it,
    // lower and at scale 2, so a band beneath the first is outside both.
    {"TwoOutputsAtAnOffset", {{1280, 720, 0, 0, 1}, {1920, 1080, 1280, 200, 2}},
        {{10, 10, 10, 10}, {1280, 200, 1280, 200}, {2239, 739, 2239, 739}, {1500, 100, 1500, 200},
            {300, 900, 300, 719}, {1279, 719, 1279, 719}}},
};

std::string script(const std::vector<Point> &points)
{
    std::ostringstream text;
    for (const Point &p : points)
        text << "move " << p.x << " " << p.y << "; wait 150; ";
    text << "wait 600000";
    return text.str();
}

// Each point, in order, where the recorder sees the pointer: an enter or a
// motion there.
testing::AssertionResult eachArrives(Process &recorder, const std::vector<Point> &points)
{
    std::string seen, line;
    for (const Point &p : points) {
        const std::string at = " " + std::to_string(p.atX) + " " + std::to_string(p.atY);
        while (line != "motion" + at && line != "enter" + at) {
            if (!recorder.readLine(&line, 10s))
                return testing::AssertionFailure() << "(" << p.x << ", " << p.y << ") never reached" << at
                                                   << "; the client saw:\n" << seen;
            seen += line + "\n";
        }
        line.clear();
    }
    return testing::AssertionSuccess();
}

// The recording client on a compositor, once its surfaces are up.
bool recorderReady(Process &recorder, std::map<std::string, std::string> environment)
{
    if (!recorder.start({TESSARON_WAYLAND_RECORDER}, environment))
        return false;
    std::string line;
    while (recorder.readLine(&line, 10s))
        if (line == "ready")
            return true;
    return false;
}

class OnSway : public testing::Test {
protected:
    void SetUp() override
    {
        if (std::string why = HeadlessCompositor::missing(); !why.empty())
            GTEST_SKIP() << why;
    }
    bool startSway(const std::vector<HeadlessCompositor::OutputLayout> &outputs) { return sway.start(outputs); }
    bool startRecorder() { return recorderReady(recorder, sway.clientEnvironment()); }
    // Tessaron starts the installed helper in a sandbox of the compositor's
    // user, on the given Wayland socket and no X display.
    bool launch(const std::string &commands, const std::string &socket)
    {
        sandbox.installMainApp();
        sandbox.installHelper();
        sandbox.handTo(sway.uid());
        return mainApp.start(sway.asUser(sandbox.command({"/Applications/Tessaron.app/Contents/MacOS/tessaron",
                                 "--launch-helper", "-c", commands})),
            {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", socket}, {"QT_QPA_PLATFORM", ""}});
    }
    bool mainAppSays(const std::string &expected, std::chrono::milliseconds timeout = 20s)
    {
        std::string line;
        while (mainApp.readLine(&line, timeout))
            if (line == expected)
                return true;
        return false;
    }
    void TearDown() override
    {
        if (mainApp.pid() > 0 && sandbox.commandPid() > 0)
            ::kill(sandbox.commandPid(), SIGTERM);
    }

    HeadlessCompositor sway;
    Process recorder;
    Sandbox sandbox;
    Process mainApp;
};

class Layouts : public OnSway, public testing::WithParamInterface<LayoutCase> {};

TEST_P(Layouts, EveryMoveOfTheMainAppLandsOnItsLogicalPixel)
{
    const LayoutCase &c = GetParam();
    ASSERT_TRUE(startSway(c.outputs)) << sway.log();
    ASSERT_TRUE(startRecorder()) << recorder.out() << recorder.err();
    ASSERT_TRUE(launch(script(c.points), sway.socketPath()));
    ASSERT_TRUE(eachArrives(recorder, c.points)) << mainApp.out() << mainApp.err();
    recordTrial("moves on sway: one output at scale 1 or 2, two at an offset and scales",
        "every point reached its logical pixel, beyond the outputs at the nearest edge");
}

INSTANTIATE_TEST_SUITE_P(Sway, Layouts, testing::ValuesIn(kLayouts),
    [](const testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });

// The compositor's layout changes under a linked helper: its next moves use
// the new one.
TEST_F(OnSway, MovesFollowTheOutputsAsTheyChange)
{
    ASSERT_TRUE(startSway({{1280, 720, 0, 0, 1}})) << sway.log();
    ASSERT_TRUE(startRecorder()) << recorder.err();
    ASSERT_TRUE(launch("move 1000 600; wait 3000; move 1000 600; wait 300; move 200 100; wait 600000", sway.socketPath()));
    ASSERT_TRUE(eachArrives(recorder, {{1000, 600, 1000, 600}})) << mainApp.out() << mainApp.err();
    std::string out;
    ASSERT_TRUE(sway.swaymsg({"output", "HEADLESS-1", "scale", "2"}, &out)) << out;
    // 640x360 logical pixels now: the same point lands on the edge.
    EXPECT_TRUE(eachArrives(recorder, {{1000, 600, 639, 359}, {200, 100, 200, 100}}));
    recordTrial("the output's scale changed from 1 to 2 while linked on sway",
        "the next moves landed in the new logical layout");
}

// The compositor dies under a linked helper: one line, status 1, at once.
TEST_F(OnSway, TheCompositorGoingAwayEndsTheHelperWithOneLineAndStatusOne)
{
    ASSERT_TRUE(startSway({{1280, 720, 0, 0, 1}})) << sway.log();
    ASSERT_TRUE(launch("move 5 5; wait 600000", sway.socketPath()));
    ASSERT_TRUE(mainAppSays("sent 1 moves")) << mainApp.out() << mainApp.err();
    const std::string socket = sway.socketPath();
    sway.stop();
    EXPECT_TRUE(mainAppSays("helper-exited 1", 5s)) << mainApp.out();
    ::kill(sandbox.commandPid(), SIGTERM);
    ASSERT_TRUE(mainApp.wait(10s));
    EXPECT_EQ(mainApp.err(), "tessaron-helper: lost the Wayland display \"" + socket + "\"\n");
    recordTrial("the Wayland compositor dies while the helper is linked",
        "one line naming the display, status 1; the link closed with it");
}

// A compositor that stops reading while the main app streams: the helper
// never queues without bound (libwayland would end the connection), keeps
// its link, and once the compositor reads again every move lands, in order.
TEST_F(OnSway, AStalledCompositorCostsNoLinkAndNoMove)
{
    ASSERT_TRUE(startSway({{1280, 720, 0, 0, 1}})) << sway.log();
    ASSERT_TRUE(startRecorder()) << recorder.err();
    constexpr int kMoves = 30000; // far more than the socket holds
    ASSERT_TRUE(launch("move 1 1; wait 1000; line 0 0 1200 700 " + std::to_string(kMoves) + "; wait 600000",
        sway.socketPath()));
    ASSERT_TRUE(eachArrives(recorder, {{1, 1, 1, 1}})) << mainApp.out() << mainApp.err();
    ::kill(sway.pid(), SIGSTOP);
    const bool streamed = mainAppSays("sent " + std::to_string(kMoves) + " moves", 30s);
    ::kill(sway.pid(), SIGCONT);
    ASSERT_TRUE(streamed) << mainApp.out() << mainApp.err();
    // The compositor reports a move only where the pointer changes pixel.
    std::vector<std::string> expected;
    for (int i = 0; i < kMoves; ++i) {
        const double t = static_cast<double>(i) / (kMoves - 1);
        const std::string motion = "motion " + std::to_string(static_cast<int>(std::round(std::lerp(0.0, 1200.0, t))))
            + " " + std::to_string(static_cast<int>(std::round(std::lerp(0.0, 700.0, t))));
        if (expected.empty() || expected.back() != motion)
            expected.push_back(motion);
    }
    std::vector<std::string> motions;
    std::string line;
    while (motions.size() < expected.size() && recorder.readLine(&line, 10s))
        if (line.starts_with("motion "))
            motions.push_back(line);
    EXPECT_EQ(motions, expected);
    EXPECT_EQ(mainApp.out().find("helper-exited"), std::string::npos) << mainApp.out() << mainApp.err();
    recordTrial("the compositor stopped reading while 30,000 moves streamed in",
        "the link stayed, nothing was queued without bound, every move landed in order once it read again");
}

struct KWinCase {
    const char *name;
    KWinInSandbox::Outputs outputs;
    std::vector<Point> points;
};

const KWinCase kKWinLayouts[] = {
    {"OneOutputAtScaleOne", {1280, 720, 1, 1}, {{100, 200, 100, 200}, {1279, 719, 1279, 719}, {-5, 5000, 0, 719}}},
    // KWin's --width and --height are logical: 2560x1440 pixels here.
    {"OneOutputAtScaleTwo", {1280, 720, 1, 2}, {{100, 200, 100, 200}, {1279, 719, 1279, 719}, {1300, 10, 1279, 10}}},
    // KWin puts the second output right of the first, its primary.
    {"TwoOutputs", {1280, 720, 2, 1}, {{10, 10, 10, 10}, {1300, 10, 1300, 10}, {2559, 719, 2559, 719}}},
};

class OnKWin : public testing::TestWithParam<KWinCase> {};

// KWin grants its fake input to the helper by the desktop entry the helper
// writes when it starts; nobody has to say yes.
TEST_P(OnKWin, EveryMoveOfTheMainAppLandsOnItsLogicalPixel)
{
    if (std::string why = KWinInSandbox::missing(); !why.empty())
        GTEST_SKIP() << why;
    const KWinCase &c = GetParam();
    Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();
    KWinInSandbox kwin(sandbox, c.outputs);
    Process mainApp;
    ASSERT_TRUE(mainApp.start(kwin.command({"/Applications/Tessaron.app/Contents/MacOS/tessaron", "--launch-helper",
                                  "-c", script(c.points)}),
        {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}));
    ASSERT_TRUE(kwin.waitUntilReady()) << kwin.log();
    TempDir runtime;
    Process recorder;
    ASSERT_TRUE(recorderReady(recorder,
        {{"WAYLAND_DISPLAY", kwin.socketPath()}, {"XDG_RUNTIME_DIR", runtime.path()}, {"DISPLAY", ""}}))
        << recorder.err();
    kwin.release();
    ASSERT_TRUE(eachArrives(recorder, c.points)) << mainApp.out() << mainApp.err() << kwin.log();
    ::kill(sandbox.commandPid(), SIGTERM);
    recordTrial("moves on KWin: one output at scale 1 or 2, two outputs",
        "KWin granted its fake input by the helper's desktop entry; every point reached its logical pixel");
}

INSTANTIATE_TEST_SUITE_P(KWin, OnKWin, testing::ValuesIn(kKWinLayouts),
    [](const testing::TestParamInfo<KWinCase> &info) { return std::string(info.param.name); });

struct MutterCase {
    const char *name;
    std::vector<std::string> monitors;
    std::vector<Point> points;
};

const MutterCase kMutterLayouts[] = {
    {"OneMonitor", {"1280x1024"}, {{100, 200, 100, 200}, {1279, 1023, 1279, 1023}, {-5, 5000, 0, 1023}}},
    // Mutter puts the second monitor right of the first, its primary.
    {"TwoMonitors", {"1280x1024", "800x600"}, {{10, 10, 10, 10}, {1300, 10, 1300, 10}, {2079, 599, 2079, 599},
                                                   {2000, 900, 2000, 599}}},
};

class WithMutter : public testing::Test {
protected:
    bool start(const std::vector<std::string> &monitors)
    {
        if (std::string why = HeadlessMutter::missing(); !why.empty()) {
            skipped = why;
            return false;
        }
        return mutter.start(monitors);
    }
    // The recording client, once Mutter has grown its windows into place: a
    // point inside one meanwhile is scaled with it.
    bool record(Process &recorder)
    {
        if (!recorderReady(recorder,
                {{"WAYLAND_DISPLAY", mutter.socketPath()}, {"XDG_RUNTIME_DIR", runtime.path()}, {"DISPLAY", ""}}))
            return false;
        runLoopUntil([] { return false; }, 1000ms);
        return true;
    }
    // Tessaron in the sandbox, launching the helper on Mutter's bus.
    bool launch(Process &mainApp, const std::string &commands)
    {
        sandbox.installMainApp();
        sandbox.installHelper();
        return mainApp.start(sandbox.command({"/Applications/Tessaron.app/Contents/MacOS/tessaron",
                                 "--launch-helper", "-c", commands}),
            {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}, {"WAYLAND_DISPLAY", mutter.socketPath()},
                {"DBUS_SESSION_BUS_ADDRESS", mutter.busAddress()}});
    }
    HeadlessMutter mutter;
    TempDir runtime;
    Sandbox sandbox;
    std::string skipped;
};

class OnMutter : public WithMutter, public testing::WithParamInterface<MutterCase> {};

// Mutter moves the pointer for a remote desktop session of the helper's,
// over a screen cast of each monitor; nobody has to say yes.
TEST_P(OnMutter, EveryMoveOfTheMainAppLandsOnItsPixel)
{
    const MutterCase &c = GetParam();
    const bool started = start(c.monitors);
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    ASSERT_TRUE(started) << mutter.log();
    Process recorder, mainApp;
    ASSERT_TRUE(record(recorder)) << recorder.err();
    ASSERT_TRUE(launch(mainApp, script(c.points)));
    ASSERT_TRUE(eachArrives(recorder, c.points)) << mainApp.out() << mainApp.err();
    ::kill(sandbox.commandPid(), SIGTERM);
    recordTrial("moves on GNOME's Mutter: one monitor, two monitors",
        "a remote desktop session of the helper's moved the pointer to every point's pixel");
}

// The user moves the second monitor left of the main one while linked: the
// main monitor's corner, the main app's origin, is no longer the layout's.
TEST_F(WithMutter, TheOriginFollowsTheMainMonitorWhenTheLayoutChanges)
{
    const bool started = start({"1280x1024", "800x600"});
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    ASSERT_TRUE(started) << mutter.log();
    Process recorder, mainApp, after;
    ASSERT_TRUE(record(recorder)) << recorder.err();
    // Inside the main monitor a stream's own corner hides a stale layout;
    // left of it only the new layout finds the second monitor.
    const std::vector<Point> afterwards = {{20, 20, 820, 20}, {-700, 30, 100, 30}, {1279, 1023, 2079, 1023}};
    ASSERT_TRUE(launch(mainApp, "move 10 10; wait 8000; " + script(afterwards)));
    ASSERT_TRUE(eachArrives(recorder, {{10, 10, 10, 10}})) << mainApp.err();
    // Mutter leaves full-screen windows where they were: a new recorder
    // covers the new layout.
    recorder.signal(SIGTERM);
    ASSERT_TRUE(recorder.wait(10s));
    Process apply;
    ASSERT_TRUE(apply.start({"/usr/bin/gdbus", "call", "--session", "--dest", "org.gnome.Mutter.DisplayConfig",
                                "--object-path", "/org/gnome/Mutter/DisplayConfig", "--method",
                                "org.gnome.Mutter.DisplayConfig.ApplyMonitorsConfig", "2", "1",
                                "[(0, 0, 1.0, 0, false, [('Meta-1', '800x600@60.000', @a{sv} {})]),"
                                " (800, 0, 1.0, 0, true, [('Meta-0', '1280x1024@60.000', @a{sv} {})])]",
                                "@a{sv} {}"},
        {{"DBUS_SESSION_BUS_ADDRESS", mutter.busAddress()}}));
    ASSERT_TRUE(apply.wait(10s));
    ASSERT_EQ(apply.exitCode(), 0) << apply.err();
    ASSERT_TRUE(record(after)) << after.err();
    ASSERT_TRUE(eachArrives(after, afterwards)) << mainApp.err();
    ::kill(sandbox.commandPid(), SIGTERM);
    recordTrial("GNOME's Mutter: the main monitor changes while linked",
        "the origin moved to the new main monitor; the moves after the change landed there");
}

// Mutter's name is not on the helper's bus, so the compositor offers no way
// to move the pointer: the permission is missing and the guidance window
// opens on the compositor (its title reaches it), also when an X display
// with XTEST is beside it, which never stands in. The helper never connects.
class WithoutRemoteDesktop : public WithMutter, public testing::WithParamInterface<bool> {};

TEST_P(WithoutRemoteDesktop, TheGuidanceWindowOpensAndNoXTestStandsIn)
{
    const bool started = start({"1280x1024"});
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
    ASSERT_TRUE(started) << mutter.log();
    Xvfb x;
    if (GetParam()) {
        ASSERT_TRUE(x.start());
    }
    TempDir home;
    std::filesystem::create_directories(home / "Library/Group Containers/group.pro.tessaron.shared");
    FakeMainApp app(home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock", "any");
    Process helper;
    ASSERT_TRUE(helper.start({TESSARON_HELPER_EXECUTABLE},
        {{"HOME", home.path()}, {"XDG_RUNTIME_DIR", home.path()}, {"WAYLAND_DISPLAY", mutter.socketPath()},
            {"DBUS_SESSION_BUS_ADDRESS", mutter.emptyBusAddress()}, {"DISPLAY", GetParam() ? x.display() : ""},
            {"QT_QPA_PLATFORM", ""}, {"WAYLAND_DEBUG", "client"}}));
    // Well past the one-second poll: still waiting for the permission.
    EXPECT_FALSE(runLoopUntil([&] { return app.accepted() || helper.wait(0ms); }, 2500ms));
    helper.signal(SIGTERM);
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_NE(helper.err().find("set_title(\"Tessaron Helper needs input access\")"), std::string::npos)
        << helper.err();
    EXPECT_FALSE(app.accepted());
    recordTrial("a Wayland compositor without an injection interface, with and without an X display beside it",
        "showed the guidance window, never connected, never used XTEST, quit in order on SIGTERM");
}

INSTANTIATE_TEST_SUITE_P(Mutter, WithoutRemoteDesktop, testing::Values(false, true),
    [](const testing::TestParamInfo<bool> &info) { return info.param ? "OnTheXDisplayBesideIt" : "OnlyWayland"; });

INSTANTIATE_TEST_SUITE_P(Mutter, OnMutter, testing::ValuesIn(kMutterLayouts),
    [](const testing::TestParamInfo<MutterCase> &info) { return std::string(info.param.name); });

} // namespace
