#include "core/timer.h"
#include "tests/support/loop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <memory>
#include <vector>

using namespace std::chrono_literals;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

// The constructor starts a timer only with a positive interval and a
// callback; a count below one or an empty callback stops a running timer.
TEST(Timer, CountedFiresCountTimesOneIntervalApartThenStops)
{
    std::vector<qint64> at;
    int once = 0, nonRepeating = 0, repeating = 0, never = 0;
    QElapsedTimer clock;
    clock.start();
    KCore::Timer counted, single, zero, negative, emptied;
    counted.start(0.05, 3, [&] { at.push_back(clock.elapsed()); });
    single.start(0.01, 1, [&] { ++once; });
    KCore::Timer plain(0.01, false, [&] { ++nonRepeating; }), repeats(0.01, true, [&] { ++repeating; });
    KCore::Timer idle(0.0, true, [&] { ++never; }), empty(0.01, true, {});
    for (const auto &[timer, count] : {std::pair{&zero, 0}, {&negative, -1}, {&emptied, 3}}) {
        timer->start(0.01, [&] { ++never; });
        timer->start(0.01, count, count > 0 ? std::function<void()>() : [&] { never += 100; });
    }
    EXPECT_TRUE(counted.isRunning());
    for (const KCore::Timer *stopped : {&idle, &empty, &zero, &negative, &emptied})
        EXPECT_FALSE(stopped->isRunning());
    ASSERT_TRUE(runLoopUntil([&] { return !counted.isRunning(); }, 2s));
    runLoopFor(150ms);
    ASSERT_EQ(at.size(), 3u);
    // The first firing comes one interval after the start, not at once.
    EXPECT_GE(at[0], 45);
    EXPECT_GE(at[2] - at[0], 90);
    EXPECT_EQ(once + nonRepeating, 2);
    EXPECT_GE(repeating, 2);
    EXPECT_EQ(never, 0);
    EXPECT_FALSE(single.isRunning());
}

TEST(Timer, ACallbackMayDestroyStopOrRescheduleItsOwnTimer)
{
    for (int count : {0, 3}) {
        auto timer = std::make_shared<KCore::Timer>();
        int fired = 0;
        const std::string captured = "state the callback still reads after the reset";
        auto destroy = [&timer, &fired, captured] {
            ++fired;
            timer.reset();
            // The callback object must outlive its own timer's destruction.
            EXPECT_EQ(captured.size(), 46u);
        };
        count ? timer->start(0.01, count, destroy) : timer->start(0.01, destroy);
        ASSERT_TRUE(runLoopUntil([&] { return !timer; }, 2s));
        runLoopFor(50ms);
        EXPECT_EQ(fired, 1) << count;
    }
    KCore::Timer timer;
    int first = 0, second = 0;
    timer.setCallback([&] {
        if (++first == 1)
            timer.start(0.02, {});
    });
    timer.start(0.01, {});
    ASSERT_TRUE(runLoopUntil([&] { return first >= 3; }, 2s));
    EXPECT_TRUE(timer.isRunning());
    EXPECT_DOUBLE_EQ(timer.interval(), 0.02);
    first = 0;
    timer.start(0.01, 5, [&] { ++first, timer.stop(); });
    runLoopFor(80ms);
    EXPECT_EQ(first, 1);
    EXPECT_FALSE(timer.isRunning());
    // The old counted schedule's last firing must not stop the new one.
    first = 0;
    timer.start(0.01, 1, [&] { ++first, timer.start(0.01, 2, [&] { ++second; }); });
    ASSERT_TRUE(runLoopUntil([&] { return second == 2; }, 2s));
    runLoopFor(50ms);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    EXPECT_FALSE(timer.isRunning());
}

} // namespace
