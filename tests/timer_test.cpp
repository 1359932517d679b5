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

// The constructor starts a timer only with a positive interval and a callback.
TEST(TimerCounted, CountOneFiresOnceAsDoesANonRepeatingTimer)
{
    int counted = 0, once = 0, repeated = 0, never = 0;
    KCore::Timer timer;
    timer.start(0.01, 1, [&] { ++counted; });
    KCore::Timer nonRepeating(0.01, false, [&] { ++once; });
    KCore::Timer repeating(0.01, true, [&] { ++repeated; });
    KCore::Timer idle(0.0, true, [&] { ++never; });
    KCore::Timer empty(0.01, true, {});
    EXPECT_FALSE(idle.isRunning() || empty.isRunning());
    runLoopFor(80ms);
    EXPECT_EQ(counted, 1);
    EXPECT_EQ(once, 1);
    EXPECT_GE(repeated, 2);
    EXPECT_EQ(never, 0);
    EXPECT_FALSE(timer.isRunning());
}

// A count below 1 or an empty callback leaves the timer stopped, even one
// that was running.
TEST(TimerCounted, ZeroNegativeCountOrEmptyCallbackStopsTheTimer)
{
    for (int count : {0, -1, 3}) {
        KCore::Timer timer;
        int fired = 0;
        timer.start(0.01, [&] { ++fired; });
        timer.start(0.01, count, count > 0 ? std::function<void()>() : [&] { fired += 100; });
        EXPECT_FALSE(timer.isRunning()) << count;
        runLoopFor(50ms);
        EXPECT_EQ(fired, 0) << count;
    }
}

TEST(TimerRepeating, RunsUntilStoppedOrDestroyed)
{
    int fired = 0;
    {
        KCore::Timer timer;
        timer.start(0.01, [&] { ++fired; });
        ASSERT_TRUE(runLoopUntil([&] { return fired >= 3; }, 2s));
        timer.stop();
        EXPECT_FALSE(timer.isRunning());
        const int stoppedAt = fired;
        runLoopFor(50ms);
        EXPECT_EQ(fired, stoppedAt);
        timer.start(0.01, {});
    }
    const int destroyedAt = fired;
    runLoopFor(50ms);
    EXPECT_EQ(fired, destroyedAt);
}

TEST(TimerRepeating, EmptyCallbackRestartsWithTheOldOneAtTheNewIntervalButNotOnAFreshTimer)
{
    KCore::Timer fresh;
    fresh.start(0.01, {});
    EXPECT_FALSE(fresh.isRunning());

    KCore::Timer timer;
    int fired = 0;
    timer.start(10.0, [&] { ++fired; });
    timer.start(0.01, {});
    EXPECT_TRUE(timer.isRunning());
    EXPECT_DOUBLE_EQ(timer.interval(), 0.01);
    EXPECT_TRUE(runLoopUntil([&] { return fired >= 2; }, 2s));
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

TEST(TimerLifetime, ACallbackMayDestroyItsOwnRepeatingOrCountedTimer)
{
    for (int count : {0, 3}) {
        auto timer = std::make_shared<KCore::Timer>();
        int fired = 0;
        const std::string captured = "state the callback still reads after the reset";
        auto callback = [&timer, &fired, captured] {
            ++fired;
            timer.reset();
            // The callback object must outlive its own timer's destruction.
            EXPECT_EQ(captured.size(), 46u);
        };
        count ? timer->start(0.01, count, callback) : timer->start(0.01, callback);
        ASSERT_TRUE(runLoopUntil([&] { return !timer; }, 2s));
        runLoopFor(50ms);
        EXPECT_EQ(fired, 1) << count;
    }
}

TEST(TimerLifetime, ACallbackMayStopOrRestartItsOwnTimerAtAnotherInterval)
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

    fired = 0;
    timer.start(0.01, 5, [&] {
        ++fired;
        timer.stop();
    });
    runLoopFor(80ms);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.isRunning());
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

} // namespace
