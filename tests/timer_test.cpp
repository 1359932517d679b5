#include "app/timer.h"
#include "tests/support/loop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <memory>
#include <vector>

using namespace std::chrono_literals;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

TEST(TimerCounted, FiresExactlyCountTimesOneIntervalApartThenStops)
{
    KCore::Timer timer;
    std::vector<qint64> at;
    QElapsedTimer clock;
    clock.start();
    timer.start(0.05, 3, [&] { at.push_back(clock.elapsed()); });
    EXPECT_TRUE(timer.isRunning());
    ASSERT_TRUE(runLoopUntil([&] { return !timer.isRunning(); }, 2s));
    runLoopFor(150ms);
    ASSERT_EQ(at.size(), 3u);
    // The first firing comes one interval after the start, not at once.
    EXPECT_GE(at[0], 45);
    EXPECT_GE(at[2] - at[0], 90);
}

TEST(TimerCounted, CountOneFiresOnce)
{
    KCore::Timer timer;
    int fired = 0;
    timer.start(0.01, 1, [&] { ++fired; });
    ASSERT_TRUE(runLoopUntil([&] { return !timer.isRunning(); }, 2s));
    runLoopFor(60ms);
    EXPECT_EQ(fired, 1);
}

TEST(TimerCounted, ZeroOrNegativeCountStopsARunningTimer)
{
    for (int count : {0, -1}) {
        KCore::Timer timer;
        int fired = 0;
        timer.start(0.01, [&] { ++fired; });
        timer.start(0.01, count, [&] { fired += 100; });
        EXPECT_FALSE(timer.isRunning()) << count;
        runLoopFor(50ms);
        EXPECT_EQ(fired, 0) << count;
    }
}

TEST(TimerCounted, EmptyCallbackLeavesTheTimerStopped)
{
    KCore::Timer timer;
    timer.start(0.01, 3, {});
    EXPECT_FALSE(timer.isRunning());
}

TEST(TimerRepeating, RunsUntilStopped)
{
    KCore::Timer timer;
    int fired = 0;
    timer.start(0.01, [&] { ++fired; });
    ASSERT_TRUE(runLoopUntil([&] { return fired >= 3; }, 2s));
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
    int stoppedAt = fired;
    runLoopFor(50ms);
    EXPECT_EQ(fired, stoppedAt);
}

TEST(TimerRepeating, EmptyCallbackRestartsWithTheOldOneAtTheNewInterval)
{
    KCore::Timer timer;
    int fired = 0;
    timer.start(10.0, [&] { ++fired; });
    timer.start(0.01, {});
    EXPECT_TRUE(timer.isRunning());
    EXPECT_DOUBLE_EQ(timer.interval(), 0.01);
    EXPECT_TRUE(runLoopUntil([&] { return fired >= 2; }, 2s));
}

TEST(TimerRepeating, EmptyCallbackOnAFreshTimerDoesNothing)
{
    KCore::Timer timer;
    timer.start(0.01, {});
    EXPECT_FALSE(timer.isRunning());
}

TEST(TimerRepeating, StartingAgainEndsTheOldSchedule)
{
    KCore::Timer timer;
    int first = 0, second = 0;
    timer.start(0.01, [&] { ++first; });
    timer.start(0.02, [&] { ++second; });
    runLoopFor(120ms);
    EXPECT_EQ(first, 0);
    EXPECT_GE(second, 2);
    // One schedule only: at 20 ms, 120 ms holds at most six firings.
    EXPECT_LE(second, 7);
}

TEST(TimerConstructor, StartsOnlyWithAPositiveIntervalAndACallback)
{
    int fired = 0;
    KCore::Timer running(0.01, true, [&] { ++fired; });
    KCore::Timer idle(0.0, true, [&] { fired += 100; });
    KCore::Timer empty(0.01, true, {});
    EXPECT_TRUE(running.isRunning());
    EXPECT_FALSE(idle.isRunning());
    EXPECT_FALSE(empty.isRunning());
    ASSERT_TRUE(runLoopUntil([&] { return fired >= 2; }, 2s));
    EXPECT_LT(fired, 100);
}

TEST(TimerConstructor, NonRepeatingFiresOnce)
{
    int fired = 0;
    KCore::Timer once(0.01, false, [&] { ++fired; });
    runLoopFor(80ms);
    EXPECT_EQ(fired, 1);
}

TEST(TimerLifetime, DestroyingARunningTimerEndsItsFirings)
{
    int fired = 0;
    {
        KCore::Timer timer;
        timer.start(0.01, [&] { ++fired; });
    }
    runLoopFor(50ms);
    EXPECT_EQ(fired, 0);
}

TEST(TimerLifetime, ACallbackMayDestroyItsOwnRepeatingTimer)
{
    auto timer = std::make_shared<KCore::Timer>();
    int fired = 0;
    std::string captured = "state the callback still reads after the reset";
    timer->start(0.01, [&timer, &fired, captured] {
        ++fired;
        timer.reset();
        // The callback object must outlive its own timer's destruction.
        EXPECT_EQ(captured.size(), 46u);
    });
    ASSERT_TRUE(runLoopUntil([&] { return !timer; }, 2s));
    runLoopFor(50ms);
    EXPECT_EQ(fired, 1);
}

TEST(TimerLifetime, ACallbackMayDestroyItsOwnCountedTimer)
{
    auto timer = std::make_shared<KCore::Timer>();
    int fired = 0;
    timer->start(0.01, 3, [&] {
        ++fired;
        timer.reset();
    });
    ASSERT_TRUE(runLoopUntil([&] { return !timer; }, 2s));
    runLoopFor(50ms);
    EXPECT_EQ(fired, 1);
}

TEST(TimerLifetime, ACallbackMayRestartItsOwnTimerAtAnotherInterval)
{
    KCore::Timer timer;
    int fired = 0;
    timer.setCallback([&] {
        ++fired;
        if (fired == 1)
            timer.start(0.02, {});
    });
    timer.start(0.01, {});
    ASSERT_TRUE(runLoopUntil([&] { return fired >= 3; }, 2s));
    EXPECT_TRUE(timer.isRunning());
    EXPECT_DOUBLE_EQ(timer.interval(), 0.02);
}

TEST(TimerLifetime, ACountedCallbackMayGiveItsTimerANewCountedSchedule)
{
    KCore::Timer timer;
    int first = 0, second = 0;
    timer.start(0.01, 1, [&] {
        ++first;
        timer.start(0.01, 2, [&] { ++second; });
    });
    // The old schedule's last firing must not stop the new one.
    ASSERT_TRUE(runLoopUntil([&] { return second == 2; }, 2s));
    runLoopFor(50ms);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    EXPECT_FALSE(timer.isRunning());
}

TEST(TimerLifetime, ACallbackMayStopItsOwnTimer)
{
    KCore::Timer timer;
    int fired = 0;
    timer.start(0.01, 5, [&] {
        ++fired;
        timer.stop();
    });
    runLoopFor(80ms);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.isRunning());
}

TEST(TimerDelayedQuit, OneSecondCountedOnceFiresOnceAboutASecondLater)
{
    KCore::Timer timer;
    QElapsedTimer clock;
    qint64 firedAt = -1;
    int fired = 0;
    clock.start();
    timer.start(1.0, 1, [&] {
        ++fired;
        firedAt = clock.elapsed();
    });
    ASSERT_TRUE(runLoopUntil([&] { return fired == 1; }, 3s));
    EXPECT_GE(firedAt, 990);
    EXPECT_LE(firedAt, 2500);
    EXPECT_FALSE(timer.isRunning());
}

} // namespace
