// The helper's first start as a user meets it, each case in a sandbox of its
// own (own /Applications and HOME) on its own display.
#include "tests/support/loop.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "tests/support/x_client.h"
#include "tests/support/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using namespace TestSupport;
namespace fs = std::filesystem;

namespace {

const std::string kDownloadedInside = "/home/user/Downloads/Tessaron Helper.app/Contents/MacOS/tessaron-helper";
const std::string kAlertTitle = "Tessaron Helper v1.0.0 (1)";

class FirstStart : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start());
        display = XOpenDisplay(x.display().c_str());
        ASSERT_NE(display, nullptr);
        sandbox.downloadHelper();
    }
    void TearDown() override
    {
        if (display)
            XCloseDisplay(display);
    }

    void startFromDownloads()
    {
        ASSERT_TRUE(helper.start(sandbox.command({kDownloadedInside}), sandbox.environment(x.display())));
    }
    XWindowId waitForAlert()
    {
        XWindowId alert = 0;
        runLoopUntil([&] { return (alert = findWindow(display, kAlertTitle)) != 0; }, 15s);
        return alert;
    }
    bool downloadIsThere() const { return fs::exists(sandbox.home() + "/Downloads/Tessaron Helper.app"); }
    bool installedWhole() const
    {
        return fs::exists(sandbox.installedHelper() + "/Contents/MacOS/tessaron-helper")
            && fs::exists(sandbox.installedHelper() + "/Contents/Info.plist")
            && fs::exists(sandbox.installedHelper() + "/Contents/Resources/AppIcon.icns");
    }

    Xvfb x;
    Display *display = nullptr;
    Sandbox sandbox;
    Process helper;
};

TEST_F(FirstStart, MovesIntoTheContainerSaysSoStartsTheMainAppAndQuits)
{
    sandbox.installMainApp();
    // What Tessaron does when the helper starts it: say where it listens, leave.
    std::ofstream(sandbox.containerSupport() + "/launch-arguments") << "-c\nexit\n";
    startFromDownloads();
    XWindowId alert = waitForAlert();
    ASSERT_NE(alert, 0u);
    // Moved before the alert is shown; nothing is started before the answer.
    EXPECT_TRUE(installedWhole());
    EXPECT_FALSE(downloadIsThere());
    EXPECT_EQ(helper.out().find("listening"), std::string::npos);

    pressKeys(display, alert, {XK_Return});
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    // Tessaron, started by the helper, writes to the output it inherited.
    EXPECT_NE(helper.out().find("listening /home/user/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock"),
              std::string::npos) << helper.out() << helper.err();
}

// No main app, or one that was never started (no container yet): the same
// message, nothing moved, nothing started.
TEST_F(FirstStart, WithoutAUsableMainAppItSaysSoMovesNothingAndStartsNothing)
{
    for (bool bundleOnly : {false, true}) {
        SCOPED_TRACE(bundleOnly ? "never started" : "not installed");
        if (bundleOnly)
            fs::create_directories(sandbox.applications() + "/Tessaron.app");
        Process run;
        ASSERT_TRUE(run.start(sandbox.command({kDownloadedInside}), sandbox.environment(x.display())));
        XWindowId alert = waitForAlert();
        ASSERT_NE(alert, 0u);
        pressKeys(display, alert, {XK_Return});
        ASSERT_TRUE(run.wait(10s));
        EXPECT_EQ(run.exitCode(), 0);
        EXPECT_TRUE(downloadIsThere());
        EXPECT_FALSE(fs::exists(sandbox.installedHelper()));
        EXPECT_EQ(run.out(), "");
    }
}

TEST_F(FirstStart, SigtermWhileTheAlertIsUpQuitsInOrderWithNothingHalfMoved)
{
    sandbox.installMainApp();
    startFromDownloads();
    ASSERT_NE(waitForAlert(), 0u);
    ::kill(sandbox.commandPid(), SIGTERM);
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_TRUE(installedWhole());
    EXPECT_FALSE(downloadIsThere());
    // The alert was not answered: Tessaron is not started.
    EXPECT_EQ(helper.out(), "");
}

TEST(PermissionMissing, SigtermWhileTheGuidanceWindowIsUpQuitsInOrder)
{
    Xvfb x;
    ASSERT_TRUE(x.start({"-extension", "XTEST"}));
    Display *display = XOpenDisplay(x.display().c_str());
    ASSERT_NE(display, nullptr);
    Sandbox sandbox;
    sandbox.installMainApp();
    sandbox.installHelper();
    Process helper;
    ASSERT_TRUE(helper.start(sandbox.command({Sandbox::installedHelperInside()}), sandbox.environment(x.display())));
    ASSERT_TRUE(runLoopUntil([&] { return findWindow(display, "Tessaron Helper") != 0; }, 15s));
    ::kill(sandbox.commandPid(), SIGTERM);
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    XCloseDisplay(display);
}

} // namespace
