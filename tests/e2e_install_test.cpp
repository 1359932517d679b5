// The helper's first start as a user meets it, each case in a sandbox of its
// own (own /Applications and HOME) on its own display.
#include "tests/support/loop.h"
#include "harness/process.h"
#include "tests/support/reliability.h"
#include "harness/sandbox.h"
#include "harness/temp_dir.h"
#include "tests/support/x_client.h"
#include "harness/xvfb.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using namespace Harness;
using namespace TestSupport;

namespace {

class FirstStart : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.start());
        display = XOpenDisplay(x.display().c_str());
        ASSERT_NE(display, nullptr);
        sandbox.downloadHelper();
        sandbox.installMainApp();
        // What a first start killed while copying would have left.
        writeFile(sandbox.containerSupport() + "/.Tessaron Helper.app.Stale1/Contents/Info.plist", "half");
        ASSERT_TRUE(helper.start(sandbox.command({"/home/user/Downloads/Tessaron Helper.app/Contents/MacOS/tessaron-helper"}),
            sandbox.environment(x.display())));
        ASSERT_TRUE(runLoopUntil([&] { return (alert = findWindow(display, "Tessaron Helper v1.0.0 (1)")) != 0; }, 15s));
    }
    void TearDown() override
    {
        if (display)
            XCloseDisplay(display);
    }

    Xvfb x;
    Display *display = nullptr;
    Sandbox sandbox;
    Process helper;
    XWindowId alert = 0;
};

TEST_F(FirstStart, MovesIntoTheContainerSaysSoStartsTheMainAppAndQuits)
{
    // What Tessaron does when the helper starts it: say where it listens, leave.
    std::ofstream(sandbox.containerSupport() + "/launch-arguments") << "-c\nexit\n";
    // Nothing is started before the answer (Tessaron would say it listens).
    EXPECT_FALSE(helper.wait(300ms));
    EXPECT_EQ(helper.out(), "");
    pressKeys(display, alert, {XK_Return});
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    // Tessaron, started by the helper, writes to the output it inherited.
    EXPECT_NE(helper.out().find("listening /home/user/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock"),
        std::string::npos)
        << helper.out() << helper.err();
    EXPECT_FALSE(std::filesystem::exists(sandbox.containerSupport() + "/.Tessaron Helper.app.Stale1"));

    // Registered: tessaron-helper: links start the installed helper, which takes the URL and quits.
    EXPECT_NE(readFile(sandbox.home() + "/.config/mimeapps.list")
                  .find("[Default Applications]\nx-scheme-handler/tessaron-helper=pro.tessaron.helper.desktop;\n"),
        std::string::npos);
    // The installed path holds spaces only: quoted, nothing escaped.
    const std::vector<std::string> command = {Sandbox::installedHelperInside(), "tessaron-helper://open?from=link"};
    EXPECT_NE(readFile(sandbox.home() + "/.local/share/applications/pro.tessaron.helper.desktop")
                  .find("\nExec=\"" + command[0] + "\" %u\n"),
        std::string::npos);
    Process linked;
    ASSERT_TRUE(linked.start(sandbox.command(command), sandbox.environment(x.display())));
    ASSERT_TRUE(linked.wait(10s));
    EXPECT_EQ(linked.exitCode(), 0);
    recordTrial("a first start from the download folder, then a tessaron-helper: link",
        "installed itself, registered the scheme, and the link started the installed copy with the URL");
}

TEST_F(FirstStart, SigtermWhileTheAlertIsUpQuitsInOrderWithoutStartingTheMainApp)
{
    ::kill(sandbox.commandPid(), SIGTERM);
    ASSERT_TRUE(helper.wait(10s));
    EXPECT_EQ(helper.exitCode(), 0);
    EXPECT_EQ(helper.out(), "");
}

} // namespace
