// The application frame and the helper's start, watched from outside.
#include "harness/process.h"
#include "tests/support/reliability.h"

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
    std::vector<int> signals; // sent once every line before the last is read
    int exitCode;
    std::string out;
    std::string err;
    const char *trial = nullptr;
};

// "will-terminate" exactly once and never "run-returned" is the orderly quit.
const RunCase kRuns[] = {
    {"QuitFromAPostedTaskComesLaterAndOnce", {TESSARON_APP_HARNESS, "threads"}, kOffscreen, {}, 0,
        "launched\nposted\nafter-quit\nwill-terminate\n", ""},
    {"SigtermBeforeTheLoopIsServedOnceItRuns", {TESSARON_APP_HARNESS, "early-sigterm"}, kOffscreen, {}, 0,
        "raised\nlaunched\nwill-terminate\n", ""},
    // Taken as Qt's own options they would move it to another display.
    {"EachArgumentIsOneURLEventQtsOptionsTooAndRepeatedSigtermsOneTeardown",
        {TESSARON_APP_HARNESS, "wait", "tessaron-helper://open/p?a=1&b=x%20y", "not a url", "-platform", "xcb",
            "-display", ":65000"},
        kOffscreen, {SIGTERM, SIGTERM, SIGTERM, SIGTERM, SIGTERM}, 0,
        "launched\nurl tessaron-helper|open|/p|a=1;b=x y;\nurl |||=;\nurl ||-platform|=;\nurl ||xcb|=;\n"
        "url ||-display|=;\nurl ||:65000|=;\nwill-terminate\n",
        "", "Qt's own options (-platform, -display) among the program arguments"},
    {"ALoopThatStopsOnItsOwnReturnsFromRun", {TESSARON_APP_HARNESS, "loop-exit"}, kOffscreen, {}, 3,
        "launched\nrun-returned\n", ""},
    {"HelperWithoutItsDisplayNamesIt", {TESSARON_HELPER_EXECUTABLE},
        {{"DISPLAY", ":65000"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, {}, 1, "",
        "tessaron-helper: cannot open X display \":65000\"\n"},
    {"HelperWithoutDisplaySaysSo", {TESSARON_HELPER_EXECUTABLE},
        {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}, {}, 1, "",
        "tessaron-helper: cannot open X display: DISPLAY is not set\n"},
    {"HelperWithoutItsWaylandDisplayNamesBoth", {TESSARON_HELPER_EXECUTABLE},
        {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "/nonexistent/wayland-9"}, {"QT_QPA_PLATFORM", ""}}, {}, 1, "",
        "tessaron-helper: cannot open Wayland display \"/nonexistent/wayland-9\", nor X display: DISPLAY is not set\n"},
    // Ctrl-C and a closed terminal quit in order as a stop request does.
    {"SigintAndSighupQuitInOrder", {TESSARON_APP_HARNESS, "wait"}, kOffscreen, {SIGINT, SIGHUP}, 0,
        "launched\nwill-terminate\n", "", "SIGINT and then SIGHUP"},
};

class Run : public testing::TestWithParam<RunCase> {};

TEST_P(Run, PrintsTheExpectedEventsAndExits)
{
    const RunCase &c = GetParam();
    Harness::Process p;
    ASSERT_TRUE(p.start(c.argv, c.env));
    std::string line;
    for (auto lines = std::count(c.out.begin(), c.out.end(), '\n'); !c.signals.empty() && lines > 1; --lines)
        ASSERT_TRUE(p.readLine(&line, 10s));
    for (int signo : c.signals)
        p.signal(signo);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitCode(), c.exitCode);
    EXPECT_EQ(p.termSignal(), 0);
    EXPECT_EQ(p.out(), c.out);
    EXPECT_EQ(p.err(), c.err);
    if (c.trial)
        TestSupport::recordTrial(c.trial, "an orderly quit with status 0; arguments only ever URL events");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Run, testing::ValuesIn(kRuns),
    [](const auto &info) { return std::string(info.param.name); });

// The helper ends with _exit; the leak checker must still look, and a leak
// inside a callback of the loop must not hide behind Qt's frames.
TEST(LeakCheck, ALeakInsideTheLoopIsReportedAtTheQuit)
{
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "only the AddressSanitizer build checks for leaks";
#endif
    Harness::Process p;
    ASSERT_TRUE(p.start({TESSARON_APP_HARNESS, "leak"}, kOffscreen));
    ASSERT_TRUE(p.wait(20s));
    EXPECT_NE(p.exitCode(), 0);
    EXPECT_NE(p.err().find("LeakSanitizer: detected memory leaks"), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("leakOnTheLoop"), std::string::npos) << p.err();
}

} // namespace
