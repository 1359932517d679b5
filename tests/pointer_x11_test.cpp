// The X11 input code against private Xvfb servers, read back the way any
// other client would see it.
#include "platform/linux/pointer_x11.h"
#include "tests/support/x_client.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <tuple>
#include <unistd.h>

using X11Input::PointerPoster;
using TestSupport::pointerPosition;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool eventually(const std::function<bool()> &done)
{
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (done())
            return true;
    return false;
}

// Points DISPLAY at a private server for the test's duration.
class OnDisplay : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        ::setenv("DISPLAY", server.display().c_str(), 1);
        ASSERT_NE(observer = XOpenDisplay(nullptr), nullptr);
    }
    void TearDown() override
    {
        if (observer)
            XCloseDisplay(observer);
    }
    // Posted events reach the server in order; a later query sees them.
    bool lands(PointerPoster &poster, std::pair<int, int> expected)
    {
        poster.flush();
        return eventually([&] { return pointerPosition(observer) == expected; });
    }
    void press(unsigned int button, bool down)
    {
        XTestFakeButtonEvent(observer, button, down, CurrentTime);
        XSync(observer, False);
    }

    TestSupport::Xvfb server;
    Display *observer = nullptr;
};

TEST_F(OnDisplay, MovesLandRoundedAndInOrderNaNIsDroppedAndInfinityStopsAtTheEdge)
{
    // Trust and the probe answer the same twice in a row.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(X11Input::displayOffersXTest() && X11Input::canListenToRawMotion());
    PointerPoster poster;
    poster.post(100.4, 200.6);
    EXPECT_TRUE(lands(poster, {100, 201}));
    poster.post(kNaN, 10);
    poster.post(10, kNaN);
    poster.flush();
    XSync(observer, False);
    EXPECT_EQ(pointerPosition(observer), std::make_pair(100, 201));
    poster.post(kInf, 1e300);
    EXPECT_TRUE(lands(poster, {1279, 799}));
    for (int i = 0; i < 5000; ++i)
        poster.post(i % 1280, (i * 7) % 800);
    EXPECT_TRUE(lands(poster, {4999 % 1280, (4999 * 7) % 800}));
}

// The helper follows no button: while another client holds button 1, the
// server makes the moves a drag for every client by itself.
TEST_F(OnDisplay, MovesWhileTheLeftButtonIsHeldAreADrag)
{
    press(1, true);
    PointerPoster poster;
    Window window = XCreateSimpleWindow(observer, DefaultRootWindow(observer), 0, 0, 1280, 800, 0, 0, 0);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(observer, window, CWOverrideRedirect, &attributes);
    XSelectInput(observer, window, Button1MotionMask | PointerMotionMask);
    XMapRaised(observer, window);
    XSync(observer, False);
    poster.post(400, 300);
    poster.flush();
    EXPECT_TRUE(eventually([&] {
        for (XEvent event; XPending(observer);)
            if (XNextEvent(observer, &event), event.type == MotionNotify && (event.xmotion.state & Button1Mask)
                && event.xmotion.x_root == 400)
                return true;
        return false;
    }));
    press(1, false);
}

// The server goes away and another takes its display number. Both run on a
// high number of their own: servers of tests running beside this one take the
// lowest free numbers, and must not take this one in between.
TEST(BrokenConnection, IsOpenedAgainOnTheNextPost)
{
    std::string display;
    TestSupport::Xvfb first, replacement;
    for (int n = 400 + ::getpid() % 400; display.empty() && n < 1000; n += 7)
        if (first.startOn(":" + std::to_string(n)))
            display = ":" + std::to_string(n);
    ASSERT_FALSE(display.empty());
    ::setenv("DISPLAY", display.c_str(), 1);
    const auto pointer = [] {
        Display *d = XOpenDisplay(nullptr);
        const auto position = d ? pointerPosition(d) : std::make_pair(-1, -1);
        if (d)
            XCloseDisplay(d);
        return position;
    };
    PointerPoster poster;
    poster.post(10, 10);
    poster.flush();
    ASSERT_EQ(pointer(), std::make_pair(10, 10));
    first.stop();
    // The old server's lock may linger for a moment.
    ASSERT_TRUE(eventually([&] { return replacement.startOn(display); }));
    EXPECT_TRUE(eventually([&] {
        poster.post(640, 480);
        poster.flush();
        return pointer() == std::make_pair(640, 480);
    }));
}

// The permission checks keep one connection: another DISPLAY, or another
// server on the same number, or none, is answered for as it is now.
TEST(KeptProbe, AnswersForTheServerThatIsThereNow)
{
    std::string display;
    TestSupport::Xvfb with, without, replacement;
    for (int n = 403 + ::getpid() % 400; display.empty() && n < 1000; n += 7)
        if (with.startOn(":" + std::to_string(n)))
            display = ":" + std::to_string(n);
    ASSERT_FALSE(display.empty());
    ASSERT_TRUE(without.start({"-extension", "XTEST"}));
    for (const std::string &d : {display, without.display(), display}) {
        ::setenv("DISPLAY", d.c_str(), 1);
        EXPECT_EQ(X11Input::displayOffersXTest(), d == display) << d;
        EXPECT_TRUE(X11Input::canListenToRawMotion()) << d;
    }
    with.stop();
    ASSERT_TRUE(eventually([&] { return replacement.startOn(display, {"-extension", "XTEST"}); }));
    EXPECT_FALSE(X11Input::displayOffersXTest());
    EXPECT_TRUE(X11Input::canListenToRawMotion());
    replacement.stop();
    EXPECT_FALSE(X11Input::canListenToRawMotion());
    EXPECT_FALSE(X11Input::displayOffersXTest());
}

// Without XTEST or without a display: nothing is trusted and nothing breaks.
TEST(WithoutXTestOrDisplay, NothingIsTrustedAndTheNameTriedIsGiven)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start({"-extension", "XTEST"}));
    for (const std::string &display : {x.display(), std::string(":65001")}) {
        ::setenv("DISPLAY", display.c_str(), 1);
        std::string name;
        EXPECT_EQ(X11Input::displayReachable(&name), display != ":65001");
        EXPECT_EQ(name, display == ":65001" ? display : "");
        EXPECT_FALSE(X11Input::displayOffersXTest());
        EXPECT_FALSE(X11Input::displayOffersXTest());
        PointerPoster poster;
        poster.post(10, 10);
        poster.flush();
    }
    EXPECT_FALSE(X11Input::canListenToRawMotion());
}

} // namespace
