#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;
using TestSupport::Process;

namespace {

const std::map<std::string, std::string> kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

std::string harness()
{
    return TESSARON_APP_HARNESS;
}

std::string helper()
{
    return TESSARON_HELPER_EXECUTABLE;
}

TEST(AppQuit, RunsWillTerminateOnceAndExitsZeroWithoutReturningFromRun)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "quit-twice"}, kOffscreen));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    // quit() only posts: the caller goes on, the terminate comes later, once.
    EXPECT_EQ(p.out(), "launched\nafter-quit\nwill-terminate\n");
}

TEST(AppQuit, SigtermBeforeTheLoopIsServedOnceItRuns)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "early-sigterm"}, kOffscreen));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_NE(p.out().find("raised\n"), std::string::npos);
    EXPECT_NE(p.out().find("will-terminate\n"), std::string::npos);
    EXPECT_EQ(p.out().find("run-returned"), std::string::npos);
}

TEST(AppQuit, SigtermWhileRunningIsAnOrderlyQuit)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "wait"}, kOffscreen));
    std::string line;
    ASSERT_TRUE(p.readLine(&line, 10s));
    ASSERT_EQ(line, "launched");
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.out(), "launched\nwill-terminate\n");
}

TEST(AppQuit, RepeatedSigtermsStillGiveOneTeardown)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "wait"}, kOffscreen));
    std::string line;
    ASSERT_TRUE(p.readLine(&line, 10s));
    for (int i = 0; i < 5; ++i)
        p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.out(), "launched\nwill-terminate\n");
}

TEST(AppLoop, PostFromAnotherThreadRunsOnTheLoop)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "post-from-thread"}, kOffscreen));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.out(), "posted\nwill-terminate\n");
}

TEST(AppLoop, ALoopThatStopsOnItsOwnReturnsFromRun)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "loop-exit"}, kOffscreen));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 3);
    EXPECT_EQ(p.out(), "run-returned\n");
}

TEST(AppArguments, EachArgumentIsOneURLEventAfterLaunch)
{
    Process p;
    ASSERT_TRUE(p.start({harness(), "wait", "tessaron-helper://open/p?a=1&b=x%20y", "not a url"}, kOffscreen));
    std::string lines[3];
    for (auto &line : lines)
        ASSERT_TRUE(p.readLine(&line, 10s));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(lines[0], "launched");
    EXPECT_EQ(lines[1], "url tessaron-helper|open|/p|a=1;b=x y;");
    EXPECT_EQ(lines[2], "url |||=;");
    EXPECT_EQ(p.out(), "launched\nurl tessaron-helper|open|/p|a=1;b=x y;\nurl |||=;\nwill-terminate\n");
}

TEST(HelperBinary, WithoutADisplayExitsOneNamingTheDisplay)
{
    Process p;
    ASSERT_TRUE(p.start({helper()}, {{"DISPLAY", ":65000"}, {"QT_QPA_PLATFORM", ""}}));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.err(), "tessaron-helper: cannot open X display \":65000\"\n");
    EXPECT_EQ(p.out(), "");
}

TEST(HelperBinary, WithoutDisplaySetSaysSo)
{
    Process p;
    ASSERT_TRUE(p.start({helper()}, {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}));
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.err(), "tessaron-helper: cannot open X display: DISPLAY is not set\n");
}

TEST(HelperBinary, OnItsOwnDisplayQuitsInOrderOnSigterm)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start());
    TestSupport::TempDir home;
    Process p;
    ASSERT_TRUE(p.start({helper()}, {{"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", ""}, {"HOME", home.path()}}));
    // Still running a moment later: it waits for work, not for input.
    EXPECT_FALSE(p.wait(500ms));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_EQ(p.err(), "");
}

} // namespace
