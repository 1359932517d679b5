// The pointer on real monitor layouts: a private Xvfb whose monitors are set
// with xrandr, as a user's desktop reports them, and changed while moving.
#include "platform/linux/pointer_x11.h"
#include "harness/process.h"
#include "tests/support/reliability.h"
#include "tests/support/x_client.h"
#include "harness/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Point {
    double x, y;
    int landsX, landsY;
};

struct LayoutCase {
    const char *name;
    // xrandr --setmonitor arguments; the first takes the screen's output,
    // so the server's own whole-screen monitor gives way.
    std::vector<std::vector<std::string>> monitors;
    std::vector<Point> points;
    // While it runs the second monitor is taken away and comes back as the
    // primary one at this geometry; (5, 6) then lands here.
    std::string changedTo;
    int changedX, changedY;
};

// The root is 3200x1100 in every case: room for each layout.
const LayoutCase kLayouts[] = {
    {"PrimaryOnTheRight",
        {{"Left", "1920/500x1080/300+0+0", "screen"}, {"*Main", "1280/300x1024/250+1920+0", "none"}},
        {{100, 100, 2020, 100}, {-100, 50, 1820, 50}, {-5000, 50, 0, 50}, {2000, 2000, 3199, 1023}},
        "1280/300x1024/250+1920+76", 1925, 82},
    {"PrimaryBelow",
        {{"Top", "1920/500x1080/300+0+0", "screen"}, {"*Main", "1280/300x20/50+320+1080", "none"}},
        {{10, 10, 330, 1090}, {10, -10, 330, 1070}, {-1000, 5, 0, 1079}},
        "1280/300x20/50+1000+1080", 1005, 1086},
    {"DeadZoneBesideAShorterMonitor",
        {{"*Main", "1920/500x1080/300+0+0", "screen"}, {"Short", "1280/300x720/200+1920+0", "none"}},
        {{2000, 900, 1919, 900}, {2500, 900, 2500, 719}, {2500, 700, 2500, 700}},
        "1280/300x720/200+1920+0", 1925, 6},
};

bool xrandr(const std::string &display, std::vector<std::string> args)
{
    args.insert(args.begin(), {"/usr/bin/xrandr", "--display", display});
    Harness::Process p;
    return p.start(args) && p.wait(10s) && p.exitCode() == 0;
}

class MonitorLayout : public testing::TestWithParam<LayoutCase> {
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/xrandr", X_OK) != 0)
            GTEST_SKIP() << "xrandr (x11-xserver-utils) is not installed";
        ASSERT_TRUE(server.start({"-screen", "0", "3200x1100x24"}));
        ::setenv("DISPLAY", server.display().c_str(), 1);
        ASSERT_NE(observer = XOpenDisplay(nullptr), nullptr);
    }
    void TearDown() override
    {
        if (observer)
            XCloseDisplay(observer);
    }
    void setMonitor(const std::vector<std::string> &monitor)
    {
        ASSERT_TRUE(xrandr(server.display(), {"--setmonitor", monitor[0], monitor[1], monitor[2]})) << monitor[0];
    }
    // Posts until the pointer is there: a layout change reaches the poster
    // as a notification, read at the start of a later batch.
    bool lands(X11Input::PointerPoster &poster, double x, double y, std::pair<int, int> where)
    {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(10ms)) {
            poster.post(x, y);
            poster.flush();
            XSync(observer, False);
            if (TestSupport::pointerPosition(observer) == where)
                return true;
        }
        return false;
    }

    Harness::Xvfb server;
    Display *observer = nullptr;
};

TEST_P(MonitorLayout, EachPointLandsWhereTheMainDisplaySaysAndFollowsAChange)
{
    const LayoutCase &c = GetParam();
    for (const auto &monitor : c.monitors)
        setMonitor(monitor);
    X11Input::PointerPoster poster;
    for (const Point &p : c.points)
        EXPECT_TRUE(lands(poster, p.x, p.y, {p.landsX, p.landsY})) << p.x << "," << p.y;

    std::string second = c.monitors[1][0];
    if (second.starts_with("*"))
        second.erase(0, 1);
    ASSERT_TRUE(xrandr(server.display(), {"--delmonitor", second}));
    setMonitor({"*" + second, c.changedTo, "none"});
    EXPECT_TRUE(lands(poster, 5, 6, {c.changedX, c.changedY}));
    TestSupport::recordTrial(std::string("monitor layout: ") + c.name + ", then its second monitor moved and made primary",
        "every point on the main display's origin or the nearest monitor pixel; followed the change");
}

INSTANTIATE_TEST_SUITE_P(Xrandr, MonitorLayout, testing::ValuesIn(kLayouts),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
