// The permission watcher's quitting paths, watched from outside: the
// harness answers alerts and reports what it saw; a quit ends it with 0.
#include "tests/accessibility_test_seam.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using TestSupport::Process;

namespace {

const std::map<std::string, std::string> kOffscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

const std::string kLimitationText =
    "Tessaron Helper\\n\\nAccessibility permission granted, but system limitation prevents functionality. "
    "Application will now exit";

const std::string kLimitationAlert = "alert title=\n"
                                     "alert text="
    + kLimitationText
    + "\n"
      "alert informative=\n"
      "alert buttons=OK\n"
      "alert icon=information\n";

class QuitPath : public testing::Test {
protected:
    QuitPath() : bundle(dir.path()) { bundle.copyIntoResources(TESSARON_ACCESSIBILITY_UI); }

    bool run(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {TESSARON_ACCESSIBILITY_HARNESS};
        argv.insert(argv.end(), args.begin(), args.end());
        return process.start(argv, kOffscreen) && process.wait(20s);
    }

    TestSupport::TempDir dir;
    AccessibilityTest::FakeBundle bundle;
    Process process;
};

struct OldSystem {
    const char *name;
    const char *major;
    const char *minor;
};

const OldSystem kOldSystems[] = {
    {"Mavericks", "10", "9"},
    {"VersionUnreadable", "0", "0"},
    {"TenZero", "10", "0"},
};

class LimitedSystem : public QuitPath, public testing::WithParamInterface<OldSystem> {};

TEST_P(LimitedSystem, TrustedWithAFailingProbeShowsTheLimitationThenQuits)
{
    ASSERT_TRUE(run({"manager-limited", bundle.path(), GetParam().major, GetParam().minor}));
    EXPECT_EQ(process.exitCode(), 0) << process.err();
    // The alert is answered within start(); no window, no notification, the
    // state unchanged, then the orderly quit.
    EXPECT_EQ(process.out(), kLimitationAlert + "state 0\nwill-terminate\n");
}

INSTANTIATE_TEST_SUITE_P(Versions, LimitedSystem, testing::ValuesIn(kOldSystems),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(QuitPath, TheWindowsPollShowsTheLimitationOnAnyVersion)
{
    ASSERT_TRUE(run({"dialog-limited", bundle.path(), "10", "13"}));
    EXPECT_EQ(process.exitCode(), 0) << process.err();
    EXPECT_EQ(process.out(), "window-open\n" + kLimitationAlert + "will-terminate\n");
}

TEST_F(QuitPath, TheLimitationIsShownOncePerProcess)
{
    ASSERT_TRUE(run({"limitation-twice", bundle.path()}));
    EXPECT_EQ(process.exitCode(), 0) << process.err();
    // The quit is posted: the second call returns at once, before it lands.
    EXPECT_EQ(process.out(), kLimitationAlert + "first-returned\nsecond-returned\nwill-terminate\n");
}

TEST_F(QuitPath, TheUserClosingTheWindowQuitsTheHelper)
{
    ASSERT_TRUE(run({"user-closes-window", bundle.path()}));
    EXPECT_EQ(process.exitCode(), 0) << process.err();
    EXPECT_EQ(process.out(), "denied\nwindow-open\nwill-terminate\n");
}

} // namespace
