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

// The helper follows no button: a move made while another client holds
// button 1 must reach a window as a drag all the same, grab included.
TEST_F(OnDisplay, AMoveWithTheLeftButtonHeldIsADragForOtherClients)
{
    Window window = XCreateSimpleWindow(observer, DefaultRootWindow(observer), 0, 0, 1280, 800, 0, 0, 0);
    XSelectInput(observer, window, ButtonPressMask | ButtonMotionMask | PointerMotionMask);
    XMapWindow(observer, window);
    XSync(observer, False);
    PointerPoster poster;
    poster.post(10, 10);
    poster.flush();
    XTestFakeButtonEvent(observer, 1, True, CurrentTime);
    XSync(observer, False);
    poster.post(300, 200);
    poster.flush();
    unsigned int state = 0;
    for (int i = 0; i < 500 && !(state & Button1Mask); ++i) {
        while (XPending(observer)) {
            XEvent event;
            XNextEvent(observer, &event);
            if (event.type == MotionNotify && event.xmotion.x == 300 && event.xmotion.y == 200)
                state = event.xmotion.state;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    XTestFakeButtonEvent(observer, 1, False, CurrentTime);
    XSync(observer, False);
    EXPECT_TRUE(state & Button1Mask);
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
    poster.post(1, 1);
    poster.flush();
}

} // namespace
