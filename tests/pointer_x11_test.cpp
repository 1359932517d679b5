// The X11 input code against private Xvfb servers, read back the way any
// other client would see it.
#include "platform/linux/pointer_x11.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>
#include <unistd.h>

using X11Input::PointerPoster;
using X11Input::ScreenPoint;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct PointCase {
    const char *name;
    double x, y;
    bool kept;
    int px, py;
};

const PointCase kPoints[] = {
    {"Whole", 100, 200, true, 100, 200},
    {"RoundsHalfAway", 10.5, 20.4999, true, 11, 20},
    {"Fractions", 100.4, 200.6, true, 100, 201},
    {"NegativeToEdge", -0.6, -1e9, true, 0, 0},
    {"BeyondWidth", 5000, 799.4, true, 1279, 799},
    {"Beyond16Bits", 70000, 65536 + 10, true, 1279, 799},
    {"Huge", 1e300, -1e300, true, 1279, 0},
    {"Infinities", kInf, -kInf, true, 1279, 0},
    {"NaNX", kNaN, 5, false, 0, 0},
    {"NaNY", 5, kNaN, false, 0, 0},
};

class ScreenPoints : public testing::TestWithParam<PointCase> {};

TEST_P(ScreenPoints, RoundToAPixelAndHoldToTheScreenNaNDropped)
{
    ScreenPoint p{-7, -7};
    ASSERT_EQ(X11Input::toScreenPoint(GetParam().x, GetParam().y, 1280, 800, &p), GetParam().kept);
    if (GetParam().kept) {
        EXPECT_EQ(p.x, GetParam().px);
        EXPECT_EQ(p.y, GetParam().py);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ScreenPoints, testing::ValuesIn(kPoints),
    [](const auto &info) { return std::string(info.param.name); });

// Points DISPLAY at a private server for the test's duration.
class OnDisplay : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(use(server)); }
    bool use(TestSupport::Xvfb &x, const std::vector<std::string> &extra = {})
    {
        if (!x.start(extra))
            return false;
        ::setenv("DISPLAY", x.display().c_str(), 1);
        observer = XOpenDisplay(nullptr);
        return observer != nullptr;
    }
    void TearDown() override
    {
        if (observer)
            XCloseDisplay(observer);
    }

    std::pair<int, int> pointer()
    {
        Window root, child;
        int x = -1, y = -1, wx, wy;
        unsigned int mask;
        XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &x, &y, &wx, &wy, &mask);
        return {x, y};
    }
    // Posted events reach the server in order; a later query sees them.
    std::pair<int, int> pointerAfter(PointerPoster &poster)
    {
        poster.flush();
        for (int i = 0; i < 200; ++i) {
            auto p = pointer();
            if (p == expected)
                return p;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return pointer();
    }

    TestSupport::Xvfb server;
    Display *observer = nullptr;
    std::pair<int, int> expected{-1, -1};
};

TEST_F(OnDisplay, PostedMovesLandOnTheRoundedPixel)
{
    PointerPoster poster;
    poster.post(100.4, 200.6);
    expected = {100, 201};
    EXPECT_EQ(pointerAfter(poster), expected);
    poster.post(1279.49, 0.5);
    expected = {1279, 1};
    EXPECT_EQ(pointerAfter(poster), expected);
}

TEST_F(OnDisplay, NaNIsDroppedAndInfinityStopsAtTheEdge)
{
    PointerPoster poster;
    poster.post(300, 300);
    expected = {300, 300};
    ASSERT_EQ(pointerAfter(poster), expected);
    poster.post(kNaN, 10);
    poster.post(10, kNaN);
    poster.flush();
    XSync(observer, False);
    EXPECT_EQ(pointer(), std::make_pair(300, 300));
    poster.post(kInf, 1e300);
    expected = {1279, 799};
    EXPECT_EQ(pointerAfter(poster), expected);
    poster.post(-kInf, -1e300);
    expected = {0, 0};
    EXPECT_EQ(pointerAfter(poster), expected);
}

TEST_F(OnDisplay, ManyMovesArriveInOrderAndTheLastOneStays)
{
    PointerPoster poster;
    for (int i = 0; i < 5000; ++i)
        poster.post(i % 1280, (i * 7) % 800);
    expected = {4999 % 1280, (4999 * 7) % 800};
    EXPECT_EQ(pointerAfter(poster), expected);
}

TEST_F(OnDisplay, TheLeftButtonIsFollowedWithoutAskingTheServer)
{
    PointerPoster poster;
    EXPECT_FALSE(poster.leftButtonDown());
    auto waitFor = [&](bool down) {
        for (int i = 0; i < 500; ++i) {
            poster.flush();
            if (poster.leftButtonDown() == down)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    XTestFakeButtonEvent(observer, 1, True, CurrentTime);
    XSync(observer, False);
    EXPECT_TRUE(waitFor(true));
    XTestFakeButtonEvent(observer, 1, False, CurrentTime);
    XSync(observer, False);
    EXPECT_TRUE(waitFor(false));
    // Another button held is not the left one.
    XTestFakeButtonEvent(observer, 3, True, CurrentTime);
    XSync(observer, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    poster.flush();
    EXPECT_FALSE(poster.leftButtonDown());
    XTestFakeButtonEvent(observer, 3, False, CurrentTime);
    XSync(observer, False);
}

TEST_F(OnDisplay, AButtonHeldAtStartIsKnownFromTheFirstQuestion)
{
    XTestFakeButtonEvent(observer, 1, True, CurrentTime);
    XSync(observer, False);
    PointerPoster poster;
    EXPECT_TRUE(poster.leftButtonDown());
    XTestFakeButtonEvent(observer, 1, False, CurrentTime);
    XSync(observer, False);
}

TEST_F(OnDisplay, WithButtonOneHeldOtherClientsSeeADrag)
{
    // A window under the pointer that listens for button-1 motion only.
    Window window = XCreateSimpleWindow(observer, DefaultRootWindow(observer), 0, 0, 1280, 800, 0, 0, 0);
    XSetWindowAttributes attributes;
    attributes.override_redirect = True;
    XChangeWindowAttributes(observer, window, CWOverrideRedirect, &attributes);
    XSelectInput(observer, window, Button1MotionMask | PointerMotionMask);
    XMapRaised(observer, window);
    XSync(observer, False);

    PointerPoster poster;
    poster.post(50, 50);
    poster.flush();
    XTestFakeButtonEvent(observer, 1, True, CurrentTime);
    XSync(observer, False);
    poster.post(400, 300);
    poster.flush();

    bool sawDrag = false;
    for (int i = 0; i < 500 && !sawDrag; ++i) {
        while (XPending(observer)) {
            XEvent event;
            XNextEvent(observer, &event);
            if (event.type == MotionNotify && (event.xmotion.state & Button1Mask) && event.xmotion.x_root == 400)
                sawDrag = true;
        }
        if (!sawDrag)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(sawDrag);
    XTestFakeButtonEvent(observer, 1, False, CurrentTime);
    XDestroyWindow(observer, window);
    XSync(observer, False);
}

// The server goes away and another takes its display number. Both run on a
// high number of their own: servers of tests running beside this one take the
// lowest free numbers, and must not take this one in between.
TEST(BrokenConnection, IsOpenedAgainOnTheNextPost)
{
    std::string display;
    TestSupport::Xvfb first;
    for (int n = 400 + ::getpid() % 400; display.empty() && n < 1000; n += 7)
        if (first.startOn(":" + std::to_string(n)))
            display = ":" + std::to_string(n);
    ASSERT_FALSE(display.empty());
    ::setenv("DISPLAY", display.c_str(), 1);
    auto pointer = [] {
        Display *d = XOpenDisplay(nullptr);
        Window root, child;
        int x = -1, y = -1, wx, wy;
        unsigned int mask;
        if (d) {
            XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
            XCloseDisplay(d);
        }
        return std::make_pair(x, y);
    };
    PointerPoster poster;
    poster.post(10, 10);
    poster.flush();
    ASSERT_EQ(pointer(), std::make_pair(10, 10));

    first.stop();
    TestSupport::Xvfb replacement;
    bool restarted = false;
    // The old server's lock may linger for a moment.
    for (int attempt = 0; attempt < 50 && !restarted; ++attempt) {
        restarted = replacement.startOn(display);
        if (!restarted)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(restarted);

    bool arrived = false;
    for (int attempt = 0; attempt < 20 && !arrived; ++attempt) {
        poster.post(640, 480);
        poster.flush();
        arrived = pointer() == std::make_pair(640, 480);
    }
    EXPECT_TRUE(arrived);
}

TEST_F(OnDisplay, TrustAndTheProbeAnswerTheSameTwiceInARow)
{
    EXPECT_TRUE(X11Input::displayOffersXTest());
    EXPECT_TRUE(X11Input::displayOffersXTest());
    EXPECT_TRUE(X11Input::canListenToRawMotion());
    EXPECT_TRUE(X11Input::canListenToRawMotion());
    std::string name;
    EXPECT_TRUE(X11Input::displayReachable(&name));
}

// The checks keep their connection between calls: a server replaced on the
// same display number, or gone, must be answered for as it is now.
TEST(BrokenConnection, TheChecksAnswerForTheServerThatIsThereNow)
{
    std::string display;
    TestSupport::Xvfb first;
    for (int n = 403 + ::getpid() % 400; display.empty() && n < 1000; n += 7)
        if (first.startOn(":" + std::to_string(n)))
            display = ":" + std::to_string(n);
    ASSERT_FALSE(display.empty());
    ::setenv("DISPLAY", display.c_str(), 1);
    EXPECT_TRUE(X11Input::displayOffersXTest());
    EXPECT_TRUE(X11Input::canListenToRawMotion());

    first.stop();
    TestSupport::Xvfb replacement;
    bool restarted = false;
    for (int attempt = 0; attempt < 50 && !restarted; ++attempt) {
        restarted = replacement.startOn(display, {"-extension", "XTEST"});
        if (!restarted)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(restarted);
    EXPECT_FALSE(X11Input::displayOffersXTest());
    EXPECT_TRUE(X11Input::canListenToRawMotion());

    replacement.stop();
    EXPECT_FALSE(X11Input::canListenToRawMotion());
    EXPECT_FALSE(X11Input::displayOffersXTest());
}

TEST(TwoDisplays, TheChecksFollowDisplay)
{
    TestSupport::Xvfb with, without;
    ASSERT_TRUE(with.start());
    ASSERT_TRUE(without.start({"-extension", "XTEST"}));
    ::setenv("DISPLAY", with.display().c_str(), 1);
    EXPECT_TRUE(X11Input::displayOffersXTest());
    ::setenv("DISPLAY", without.display().c_str(), 1);
    EXPECT_FALSE(X11Input::displayOffersXTest());
    ::setenv("DISPLAY", with.display().c_str(), 1);
    EXPECT_TRUE(X11Input::displayOffersXTest());
}

TEST(WithoutXTest, TheDisplayIsNotTrustedAndNothingMoves)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start({"-extension", "XTEST"}));
    ::setenv("DISPLAY", x.display().c_str(), 1);
    EXPECT_FALSE(X11Input::displayOffersXTest());
    EXPECT_FALSE(X11Input::displayOffersXTest());
    PointerPoster poster;
    poster.post(10, 10);
    poster.flush();
}

TEST(WithoutDisplay, NothingIsTrustedAndTheNameTriedIsGiven)
{
    ::setenv("DISPLAY", ":65001", 1);
    std::string name;
    EXPECT_FALSE(X11Input::displayReachable(&name));
    EXPECT_EQ(name, ":65001");
    EXPECT_FALSE(X11Input::displayOffersXTest());
    EXPECT_FALSE(X11Input::canListenToRawMotion());
    PointerPoster poster;
    EXPECT_FALSE(poster.leftButtonDown());
    poster.post(1, 1);
    poster.flush();
}

} // namespace
