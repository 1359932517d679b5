// The application frame and the helper's start, watched from outside.
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using Env = std::map<std::string, std::string>;
const Env kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

struct RunCase {
    const char *name;
    std::vector<std::string> argv;
    Env env;
    int sigterms; // sent once every line before the last is read
    int exitCode;
    std::string out;
    std::string err;
};

// "will-terminate" exactly once and never "run-returned" is the orderly quit.
const RunCase kRuns[] = {
    {"QuitFromAPostedTaskComesLaterAndOnce", {TESSARON_APP_HARNESS, "threads"}, kOffscreen, 0, 0,
        "launched\nposted\nafter-quit\nwill-terminate\n", ""},
    {"SigtermBeforeTheLoopIsServedOnceItRuns", {TESSARON_APP_HARNESS, "early-sigterm"}, kOffscreen, 0, 0,
        "raised\nlaunched\nwill-terminate\n", ""},
    {"EachArgumentIsOneURLEventAndRepeatedSigtermsOneTeardown",
        {TESSARON_APP_HARNESS, "wait", "tessaron-helper://open/p?a=1&b=x%20y", "not a url"}, kOffscreen, 5, 0,
        "launched\nurl tessaron-helper|open|/p|a=1;b=x y;\nurl |||=;\nwill-terminate\n", ""},
    {"ALoopThatStopsOnItsOwnReturnsFromRun", {TESSARON_APP_HARNESS, "loop-exit"}, kOffscreen, 0, 3,
        "launched\nrun-returned\n", ""},
    {"HelperWithoutItsDisplayNamesIt", {TESSARON_HELPER_EXECUTABLE}, {{"DISPLAY", ":65000"}, {"QT_QPA_PLATFORM", ""}},
        0, 1, "", "tessaron-helper: cannot open X display \":65000\"\n"},
    {"HelperWithoutDisplaySaysSo", {TESSARON_HELPER_EXECUTABLE}, {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, 0, 1, "",
        "tessaron-helper: cannot open X display: DISPLAY is not set\n"},
};

class Run : public testing::TestWithParam<RunCase> {};

TEST_P(Run, PrintsTheExpectedEventsAndExits)
{
    const RunCase &c = GetParam();
    TestSupport::Process p;
    ASSERT_TRUE(p.start(c.argv, c.env));
    std::string line;
    for (auto lines = std::count(c.out.begin(), c.out.end(), '\n'); c.sigterms && lines > 1; --lines)
        ASSERT_TRUE(p.readLine(&line, 10s));
    for (int i = 0; i < c.sigterms; ++i)
        p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), c.exitCode);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_EQ(p.out(), c.out);
    EXPECT_EQ(p.err(), c.err);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Run, testing::ValuesIn(kRuns),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
