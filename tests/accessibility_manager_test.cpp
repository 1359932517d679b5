// The permission watcher's transitions, driven through the seam's trust and
// probe answers on the real loop. The quitting paths run in a child process
// (accessibility_process_test.cpp).
#include "accessibility/accessibility_manager.h"
#include "app/app.h"
#include "tests/accessibility_test_seam.h"
#include "tests/support/loop.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

using namespace std::chrono_literals;
using AccessibilityTest::FakeBundle;
using AccessibilityTest::FakeSeam;
using KSystem::PermissionState;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

int openWindows()
{
    int count = 0;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("AccessibilityWindow") && widget->isVisible())
            ++count;
    }
    return count;
}

bool alertVisible()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox *>(widget) && widget->isVisible())
            return true;
    }
    return false;
}

class ManagerTest : public testing::Test {
protected:
    ManagerTest()
        : bundle(dir.path())
        , scoped(seam)
    {
        seam.executable = bundle.executable();
        bundle.copyIntoResources(TESSARON_ACCESSIBILITY_UI);
        manager = std::make_shared<KSystem::AccessibilityManager>();
        manager->setGrantedCallback([this] {
            ++granted;
            grantedInsideStart = grantedInsideStart || inStart;
        });
        manager->setDeniedCallback([this] {
            ++denied;
            deniedOutsideStart = deniedOutsideStart || !inStart;
        });
    }

    void start()
    {
        inStart = true;
        manager->start();
        inStart = false;
    }

    TestSupport::TempDir dir;
    FakeBundle bundle;
    FakeSeam seam;
    Platform::ScopedSeam scoped;
    std::shared_ptr<KSystem::AccessibilityManager> manager;
    int granted = 0;
    int denied = 0;
    bool inStart = false;
    bool grantedInsideStart = false;
    bool deniedOutsideStart = false;
};

TEST_F(ManagerTest, FirstStartGrantedPollsEveryFiveSecondsAndPostsGrantedOnce)
{
    seam.trusted = true;
    EXPECT_EQ(manager->pollInterval(), 0.0) << "nothing runs before start()";
    start();
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_EQ(manager->pollInterval(), 5.0);
    EXPECT_FALSE(manager->isWindowOpen());
    EXPECT_EQ(granted, 0) << "posted, not called within start()";
    runLoopFor(50ms);
    EXPECT_EQ(granted, 1);
    EXPECT_FALSE(grantedInsideStart);
    EXPECT_EQ(denied, 0);
    EXPECT_EQ(openWindows(), 0);
}

TEST_F(ManagerTest, FirstStartMissingOpensTheWindowAndRaisesDeniedWithinStart)
{
    start();
    EXPECT_EQ(manager->state(), PermissionState::Missing);
    EXPECT_EQ(manager->pollInterval(), 1.0);
    EXPECT_TRUE(manager->isWindowOpen());
    EXPECT_EQ(openWindows(), 1);
    EXPECT_EQ(denied, 1);
    EXPECT_FALSE(deniedOutsideStart);
    EXPECT_EQ(seam.probeQueries, 0) << "no probe without trust";
    runLoopFor(50ms);
    EXPECT_EQ(granted, 0);
}

TEST_F(ManagerTest, FurtherTicksWhileMissingOpenNoSecondWindowAndRaiseNoSecondDenied)
{
    start();
    int queries = seam.trustQueries;
    runLoopFor(2300ms);
    EXPECT_GT(seam.trustQueries, queries + 2) << "both polls keep asking";
    start();
    EXPECT_EQ(openWindows(), 1);
    EXPECT_EQ(denied, 1);
    EXPECT_EQ(manager->state(), PermissionState::Missing);
}

TEST_F(ManagerTest, TrustGrantedWhileTheWindowIsOpenGivesOneGrantedAndClosesIt)
{
    start();
    ASSERT_EQ(openWindows(), 1);
    seam.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted > 0 && !manager->isWindowOpen(); }, 3s));
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_EQ(manager->pollInterval(), 5.0);
    runLoopFor(1500ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(openWindows(), 0);
    EXPECT_EQ(denied, 1);
}

TEST_F(ManagerTest, WhenTheManagerSeesTrustFirstTheWindowStillGoesWithoutASecondGranted)
{
    start();
    seam.trusted = true;
    start();   // the manager's own tick, before the window's poll
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_TRUE(manager->isWindowOpen()) << "the window's own poll closes it";
    ASSERT_TRUE(runLoopUntil([&] { return !manager->isWindowOpen(); }, 3s));
    runLoopFor(100ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(openWindows(), 0);
}

TEST_F(ManagerTest, TrustRevokedAfterGrantedOpensTheWindowAgain)
{
    seam.trusted = true;
    start();
    runLoopFor(50ms);
    ASSERT_EQ(granted, 1);
    seam.trusted = false;
    start();
    EXPECT_EQ(manager->state(), PermissionState::Missing);
    EXPECT_EQ(manager->pollInterval(), 1.0);
    EXPECT_EQ(denied, 1);
    EXPECT_EQ(openWindows(), 1);
    seam.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted == 2; }, 3s));
    EXPECT_EQ(manager->pollInterval(), 5.0);
}

TEST_F(ManagerTest, ProbeFailingFromTenTenOnCountsAsGrantedWithoutAMessage)
{
    seam.trusted = true;
    seam.probe = false;
    seam.version = {10, 12, 6};
    start();
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_FALSE(manager->isWindowOpen());
    bool sawAlert = false;
    runLoopUntil([&] { return (sawAlert = alertVisible()); }, 200ms);
    EXPECT_FALSE(sawAlert);
    EXPECT_EQ(granted, 1);
}

TEST_F(ManagerTest, DestroyingTheManagerClosesTheWindowAndStopsPolling)
{
    KCore::App::setDockIconVisible(false);
    start();
    ASSERT_EQ(openWindows(), 1);
    EXPECT_TRUE(KCore::App::isDockIconVisible());
    manager.reset();
    EXPECT_EQ(openWindows(), 0);
    EXPECT_FALSE(KCore::App::isDockIconVisible());
    int queries = seam.trustQueries;
    // A quit here (the user-close path) would end the binary via the guard.
    runLoopFor(1300ms);
    EXPECT_EQ(seam.trustQueries, queries);
}

TEST_F(ManagerTest, TheDockIconShowsWhileTheWindowIsOpenAndHidesAfterTheGrant)
{
    KCore::App::setDockIconVisible(false);
    start();
    EXPECT_TRUE(KCore::App::isDockIconVisible());
    seam.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return !manager->isWindowOpen(); }, 3s));
    EXPECT_FALSE(KCore::App::isDockIconVisible());
}

TEST_F(ManagerTest, TheDeniedCallbackMayDestroyTheManager)
{
    manager->setDeniedCallback([this] { manager.reset(); });
    start();
    EXPECT_FALSE(manager);
    EXPECT_EQ(openWindows(), 0);
    runLoopFor(1200ms);
}

TEST_F(ManagerTest, AGrantPostedBeforeTheManagerWentIsDropped)
{
    seam.trusted = true;
    start();
    manager.reset();
    runLoopFor(50ms);
    EXPECT_EQ(granted, 0);
}

} // namespace
