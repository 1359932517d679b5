#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;
using TestSupport::Process;

namespace {

const std::map<std::string, std::string> kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

struct HarnessCase {
    const char *name;
    std::vector<std::string> args;
    int sigterms; // sent once "launched" is read
    int exitCode;
    const char *out;
};

// "will-terminate" exactly once and never "run-returned" is the orderly quit;
// a loop that stops on its own returns from run().
const HarnessCase kHarness[] = {
    // quit() only posts: the caller goes on, the terminate comes later, once.
    {"QuitTwiceRunsWillTerminateOnce", {"quit-twice"}, 0, 0, "launched\nafter-quit\nwill-terminate\n"},
    {"SigtermBeforeTheLoopIsServedOnceItRuns", {"early-sigterm"}, 0, 0, "raised\nlaunched\nwill-terminate\n"},
    {"SigtermWhileRunningIsAnOrderlyQuit", {"wait"}, 1, 0, "launched\nwill-terminate\n"},
    {"RepeatedSigtermsStillGiveOneTeardown", {"wait"}, 5, 0, "launched\nwill-terminate\n"},
    {"PostFromAnotherThreadRunsOnTheLoop", {"post-from-thread"}, 0, 0, "posted\nwill-terminate\n"},
    {"ALoopThatStopsOnItsOwnReturnsFromRun", {"loop-exit"}, 0, 3, "run-returned\n"},
    {"EachArgumentIsOneURLEventAfterLaunch", {"wait", "tessaron-helper://open/p?a=1&b=x%20y", "not a url"}, 1, 0,
        "launched\nurl tessaron-helper|open|/p|a=1;b=x y;\nurl |||=;\nwill-terminate\n"},
};

class AppHarness : public testing::TestWithParam<HarnessCase> {};

TEST_P(AppHarness, PrintsTheExpectedEventsAndExits)
{
    const HarnessCase &c = GetParam();
    std::vector<std::string> argv = {TESSARON_APP_HARNESS};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p;
    ASSERT_TRUE(p.start(argv, kOffscreen));
    if (c.sigterms) {
        std::string line;
        ASSERT_TRUE(p.readLine(&line, 10s));
        ASSERT_EQ(line, "launched");
        // The URL events, when any, come after launch and before the signal.
        for (std::size_t urls = c.args.size() - 1; urls > 0; --urls)
            ASSERT_TRUE(p.readLine(&line, 10s));
        for (int i = 0; i < c.sigterms; ++i)
            p.signal(SIGTERM);
    }
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), c.exitCode);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_EQ(p.out(), c.out);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AppHarness, testing::ValuesIn(kHarness),
    [](const auto &info) { return std::string(info.param.name); });

TEST(HelperBinary, WithoutADisplayExitsOneNamingTheDisplay)
{
    for (const auto &[display, error] :
        {std::pair{":65000", "tessaron-helper: cannot open X display \":65000\"\n"},
            std::pair{"", "tessaron-helper: cannot open X display: DISPLAY is not set\n"}}) {
        Process p;
        ASSERT_TRUE(p.start({TESSARON_HELPER_EXECUTABLE}, {{"DISPLAY", display}, {"QT_QPA_PLATFORM", ""}}));
        ASSERT_TRUE(p.wait(10s));
        EXPECT_EQ(p.exitCode(), 1);
        EXPECT_EQ(p.err(), error);
        EXPECT_EQ(p.out(), "");
    }
}

TEST(HelperBinary, OnItsOwnDisplayQuitsInOrderOnSigterm)
{
    TestSupport::Xvfb x;
    ASSERT_TRUE(x.start());
    TestSupport::TempDir home;
    Process p;
    ASSERT_TRUE(p.start(
        {TESSARON_HELPER_EXECUTABLE}, {{"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", ""}, {"HOME", home.path()}}));
    // Still running a moment later: it waits for work, not for input.
    EXPECT_FALSE(p.wait(500ms));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_EQ(p.err(), "");
}

} // namespace
