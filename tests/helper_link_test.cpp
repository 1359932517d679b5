// The real helper binary, installed in its place inside a sandbox of its own,
// against a main app played by the test, on a private display.
#include "network/link_config.h"
#include "platform/seam.h"
#include "tests/support/fake_main_app.h"
#include "tests/support/loop.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/x_client.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <bit>
#include <csignal>
#include <filesystem>
#include <map>

using namespace std::chrono_literals;
using TestSupport::FakeMainApp;
using TestSupport::runLoopUntil;
using namespace TestSupport;

namespace {

class HelperLink : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start());
        sandbox.installMainApp();
        sandbox.installHelper();
    }

    std::string socketPath() const { return sandbox.socketPath(); }

    // The helper's secret is built from this machine's id and its bundle
    // identifier's prefix; the test computes the same as the main app would.
    std::string secret() const
    {
        return KNetwork::linkSecret("pro.tessaron");
    }

    void startHelper()
    {
        ASSERT_TRUE(helper.start(sandbox.command({TestSupport::Sandbox::installedHelperInside()}),
                                 sandbox.environment(x.display())));
        clock.start();
    }
    void signalHelper(int signo)
    {
        ASSERT_TRUE(runLoopUntil([&] { return sandbox.commandPid() > 0; }, 5s));
        ::kill(sandbox.commandPid(), signo);
    }

    // Runs the loop (the fake main app lives on it) until the helper exits.
    qint64 waitForExit(std::chrono::milliseconds limit)
    {
        if (!runLoopUntil([&] { return helper.wait(0ms); }, limit))
            return -1;
        return clock.elapsed();
    }

    TestSupport::Sandbox sandbox;
    TestSupport::Xvfb x;
    TestSupport::Process helper;
    QElapsedTimer clock;
};

TEST_F(HelperLink, NoMainAppListeningQuitsOneSecondLater)
{
    startHelper();
    qint64 at = waitForExit(5s);
    ASSERT_GE(at, 0);
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_GE(at, 950);
    EXPECT_LE(at, 3000);
    EXPECT_EQ(helper.err(), "");
}

TEST_F(HelperLink, HandshakeThenTheMainAppClosingQuitsOneSecondLater)
{
    FakeMainApp app(socketPath(), secret());
    ASSERT_TRUE(app.listening());
    startHelper();
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakeDone(); }, 5s));
    EXPECT_TRUE(app.errors.empty());
    // Still there while the link is up.
    EXPECT_FALSE(runLoopUntil([&] { return helper.wait(0ms); }, 300ms));

    app.closeConnection();
    QElapsedTimer sinceClose;
    sinceClose.start();
    ASSERT_GE(waitForExit(5s), 0);
    qint64 delay = sinceClose.elapsed();
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_GE(delay, 950);
    EXPECT_LE(delay, 3000);
}

TEST_F(HelperLink, AWrongHandshakeQuitsOneSecondLater)
{
    FakeMainApp app(socketPath(), "not the same secret");
    ASSERT_TRUE(app.listening());
    // Answer with our own value whatever the helper sent.
    startHelper();
    ASSERT_TRUE(runLoopUntil([&] { return app.accepted(); }, 5s));
    std::uint32_t wrong = KNetwork::handshakeValue("not the same secret");
    std::byte value[4] = {std::byte(wrong >> 24), std::byte(wrong >> 16), std::byte(wrong >> 8), std::byte(wrong)};
    app.sendRaw(KNetwork::encodeFrame(value, 4, static_cast<std::uint32_t>(std::time(nullptr))));
    ASSERT_TRUE(runLoopUntil([&] { return app.peerClosed(); }, 5s));
    ASSERT_GE(waitForExit(5s), 0);
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(app.handshakes, 0);
}

std::vector<std::byte> hex(std::initializer_list<int> values)
{
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

std::vector<std::byte> movePointer(double x, double y)
{
    std::vector<std::byte> out = hex({0x03, 0, 0, 0, 0x10});
    for (double v : {x, y}) {
        auto bits = std::bit_cast<std::uint64_t>(v);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::byte>(bits >> shift));
    }
    return out;
}

TEST_F(HelperLink, TheServiceAnswersAndMovesTheXPointer)
{
    FakeMainApp app(socketPath(), secret());
    startHelper();
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakeDone(); }, 5s));
    // Before Features the helper only reports its permission.
    ASSERT_TRUE(runLoopUntil([&] { return app.received.size() == 1; }, 5s));
    EXPECT_EQ(app.received[0], hex({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x01}));

    ASSERT_TRUE(app.sendPayload(movePointer(5, 5)));
    ASSERT_TRUE(app.sendPayload(hex({0x02, 0, 0, 0, 0x01, 0x03})));
    ASSERT_TRUE(app.sendPayload(movePointer(100, 200.5)));
    ASSERT_TRUE(runLoopUntil([&] { return app.received.size() == 2; }, 5s));
    EXPECT_EQ(app.received[1], hex({0x02, 0, 0, 0, 0x01, 0x03}));

    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    auto pointer = [&] {
        Window root, child;
        int px = -1, py = -1, wx, wy;
        unsigned int mask;
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &px, &py, &wx, &wy, &mask);
        return std::make_pair(px, py);
    };
    EXPECT_TRUE(runLoopUntil([&] { return pointer() == std::make_pair(100, 201); }, 5s));
    XCloseDisplay(display);
    signalHelper(SIGTERM);
    ASSERT_TRUE(runLoopUntil([&] { return helper.wait(0ms); }, 5s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(app.received.size(), 2u);
}

TEST_F(HelperLink, SigtermWhileConnectedIsAnOrderlyQuit)
{
    FakeMainApp app(socketPath(), secret());
    startHelper();
    ASSERT_TRUE(runLoopUntil([&] { return app.handshakeDone(); }, 5s));
    signalHelper(SIGTERM);
    ASSERT_TRUE(runLoopUntil([&] { return helper.wait(0ms); }, 5s));
    EXPECT_EQ(helper.exitCode(), 0);
    // Teardown released the link: the main app sees it close.
    EXPECT_TRUE(runLoopUntil([&] { return app.peerClosed(); }, 2s));
}

} // namespace

namespace {

TEST(HelperPermission, WithoutXTestItGuidesTheUserNeverConnectsAndClosingTheWindowQuits)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start({"-extension", "XTEST"}));
    TestSupport::TempDir home;
    std::filesystem::create_directories(home / "Library/Group Containers/group.pro.tessaron.shared");
    FakeMainApp app(home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock",
                    KNetwork::linkSecret("pro.tessaron"));
    TestSupport::Process helper;
    ASSERT_TRUE(helper.start({TESSARON_HELPER_EXECUTABLE},
        {{"HOME", home.path()}, {"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", ""}}));

    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    Window window = 0;
    ASSERT_TRUE(runLoopUntil([&] { return (window = findWindow(display, "Tessaron Helper")) != 0; }, 10s));
    // Well past the one-second poll: still waiting for the permission.
    EXPECT_FALSE(runLoopUntil([&] { return app.accepted() || helper.wait(0ms); }, 2500ms));

    askToClose(display, window);
    ASSERT_TRUE(runLoopUntil([&] { return helper.wait(0ms); }, 5s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_FALSE(app.accepted());
    XCloseDisplay(display);
}

} // namespace

namespace {

class UnsupportedSystem : public testing::TestWithParam<bool> {};

// On 10.14 the helper only offers the full app and quits on the answer;
// Download opens the site first, OK opens nothing.
TEST_P(UnsupportedSystem, TheNoticeOffersTheFullAppAndAnyAnswerQuits)
{
    bool download = GetParam();
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start());
    TestSupport::TempDir home;
    TestSupport::Process helper;
    ASSERT_TRUE(helper.start({TESSARON_HELPER_HARNESS, "10.14.0"},
        {{"HOME", home.path()}, {"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", ""}}));
    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    Window alert = 0;
    ASSERT_TRUE(runLoopUntil([&] { return (alert = findWindow(display, "Tessaron Helper v1.0.0 (1)")) != 0; }, 10s));
    EXPECT_FALSE(helper.wait(0ms));

    TestSupport::runLoopFor(200ms);
    if (download)
        pressKeys(display, alert, {XK_Tab, XK_space});
    else
        pressKeys(display, alert, {XK_space});
    ASSERT_TRUE(runLoopUntil([&] { return helper.wait(0ms); }, 5s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(helper.out(), download ? "open-url https://tessaron.pro\n" : "");
    XCloseDisplay(display);
}

INSTANTIATE_TEST_SUITE_P(Answers, UnsupportedSystem, testing::Values(false, true),
    [](const auto &info) { return std::string(info.param ? "Download" : "OK"); });

} // namespace

namespace {

// The real flow from the main app's side: Tessaron starts the installed
// helper, they shake hands, its moves reach the X pointer, and after Tessaron
// closes the link the helper quits on its own.
TEST(HelperAndStandIn, TheMainAppStartsTheHelperAndItsMovesReachTheXPointer)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start());
    TestSupport::Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();
    TestSupport::Process mainApp;
    ASSERT_TRUE(mainApp.start(sandbox.command({"/Applications/Tessaron.app/Contents/MacOS/tessaron", "--launch-helper",
        "-c", "move 100 200.5; line 300 300 310 310 11; wait 300; close; wait 2500; exit"}),
        sandbox.environment(x.display())));
    ASSERT_TRUE(mainApp.wait(20s));
    EXPECT_EQ(mainApp.exitCode(), 0) << mainApp.err();
    for (const char *expected : {"helper-launched ", "handshake-ok\n", "accessibility-status 1 1\n", "features 3\n",
                                 "sent 1 moves\n", "sent 11 moves\n", "disconnected\n", "helper-exited 0\n"})
        EXPECT_NE(mainApp.out().find(expected), std::string::npos) << expected << " in:\n" << mainApp.out();

    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    Window root, child;
    int px = -1, py = -1, wx, wy;
    unsigned int mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &px, &py, &wx, &wy, &mask);
    XCloseDisplay(display);
    EXPECT_EQ(std::make_pair(px, py), std::make_pair(310, 310));
}

} // namespace
