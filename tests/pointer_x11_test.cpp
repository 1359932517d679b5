// The X11 input code against private Xvfb servers, read back the way any
// other client would see it.
#include "platform/linux/pointer_x11.h"
#include "tests/support/x_client.h"
#include "harness/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
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

// Posted events reach the server in order; a later query sees them.
bool lands(PointerPoster &poster, Display *observer, std::pair<int, int> expected)
{
    poster.flush();
    return eventually([&] { return pointerPosition(observer) == expected; });
}

// The helper follows no button: the server makes the moves a drag by itself.
TEST(OnDisplay, MovesLandRoundedAndInOrderNaNIsDroppedInfinityStopsAtTheEdgeAndAHeldButtonDrags)
{
    Harness::Xvfb server;
    ASSERT_TRUE(server.start());
    ::setenv("DISPLAY", server.display().c_str(), 1);
    Display *observer = XOpenDisplay(nullptr);
    ASSERT_NE(observer, nullptr);
    // Trust and the probe answer the same twice in a row.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(X11Input::displayOffersXTest() && X11Input::canListenToRawMotion());
    PointerPoster poster;
    poster.post(100.4, 200.6);
    EXPECT_TRUE(lands(poster, observer, {100, 201}));
    poster.post(kNaN, 10);
    poster.post(10, kNaN);
    poster.flush();
    XSync(observer, False);
    EXPECT_EQ(pointerPosition(observer), std::make_pair(100, 201));
    poster.post(kInf, 1e300);
    EXPECT_TRUE(lands(poster, observer, {1279, 799}));
    for (int i = 0; i < 5000; ++i)
        poster.post(i % 1280, (i * 7) % 800);
    EXPECT_TRUE(lands(poster, observer, {4999 % 1280, (4999 * 7) % 800}));

    // Held by another client, button 1 stays down while the helper moves.
    XTestFakeButtonEvent(observer, 1, True, CurrentTime);
    XSync(observer, False);
    poster.post(400, 300);
    EXPECT_TRUE(lands(poster, observer, {400, 300}));
    Window root, child;
    int rootX, rootY, x, y;
    unsigned int buttons = 0;
    XQueryPointer(observer, DefaultRootWindow(observer), &root, &child, &rootX, &rootY, &x, &y, &buttons);
    EXPECT_TRUE(buttons & Button1Mask) << "the moves are a drag";
    XCloseDisplay(observer);
}

// One display number, high and of its own (servers of tests running beside
// this one take the lowest free numbers), served in turn by servers with and
// without XTEST, and by none. The poster reopens its broken connection; the
// probe keeps one, yet answers for the server and DISPLAY there now.
TEST(ChangingServers, ThePosterReconnectsAndTheProbeAnswersForTheServerThereNow)
{
    std::string display;
    Harness::Xvfb first, without, second, third;
    for (int n = 400 + ::getpid() % 400; display.empty() && n < 1000; n += 7)
        if (first.startOn(":" + std::to_string(n)))
            display = ":" + std::to_string(n);
    ASSERT_FALSE(display.empty());
    ASSERT_TRUE(without.start({"-extension", "XTEST"}));
    const auto pointer = [] {
        Display *d = XOpenDisplay(nullptr);
        const auto position = d ? pointerPosition(d) : std::make_pair(-1, -1);
        if (d)
            XCloseDisplay(d);
        return position;
    };
    const auto trusted = [](bool xtest, bool raw) {
        return X11Input::displayOffersXTest() == xtest && X11Input::canListenToRawMotion() == raw;
    };
    for (const std::string &d : {display, without.display(), display}) {
        ::setenv("DISPLAY", d.c_str(), 1);
        std::string name;
        EXPECT_TRUE(X11Input::displayReachable(&name) && name.empty()) << d;
        EXPECT_TRUE(trusted(d == display, true)) << d;
        PointerPoster here;
        here.post(10, 10);
        here.flush();
    }
    PointerPoster poster;
    poster.post(20, 20);
    poster.flush();
    ASSERT_EQ(pointer(), std::make_pair(20, 20));
    first.stop();
    // The old server's lock may linger for a moment.
    ASSERT_TRUE(eventually([&] { return second.startOn(display, {"-extension", "XTEST"}); }));
    EXPECT_TRUE(trusted(false, true));
    second.stop();
    EXPECT_TRUE(trusted(false, false));
    ASSERT_TRUE(eventually([&] { return third.startOn(display); }));
    EXPECT_TRUE(eventually([&] {
        poster.post(640, 480);
        poster.flush();
        return pointer() == std::make_pair(640, 480);
    }));
    // Without a display nothing is trusted, nothing breaks, and the name tried is given.
    ::setenv("DISPLAY", ":65001", 1);
    std::string name;
    EXPECT_FALSE(X11Input::displayReachable(&name));
    EXPECT_EQ(name, ":65001");
    EXPECT_TRUE(trusted(false, false));
    PointerPoster lost;
    lost.post(10, 10);
    lost.flush();
}

} // namespace
