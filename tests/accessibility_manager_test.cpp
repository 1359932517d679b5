// The permission watcher's transitions, driven through the seam's trust and
// probe answers on the real loop, and its quitting paths in child processes.
#include "ui/accessibility_dialog.h"
#include "accessibility/accessibility_manager.h"
#include "ui/limitation_alert.h"
#include "core/app.h"
#include "tests/accessibility_test_seam.h"
#include "tests/support/loop.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>

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
        manager = std::make_shared<KSystem::AccessibilityManager>(seam);
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

// From 10.10 on a failing probe does not count against the grant, and says nothing.
TEST_F(ManagerTest, FirstStartGrantedPollsEveryFiveSecondsAndPostsGrantedOnce)
{
    seam.trusted = true;
    seam.probe = false;
    seam.version = {10, 12, 6};
    start();
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_EQ(manager->pollInterval(), 5.0);
    EXPECT_FALSE(manager->isWindowOpen());
    EXPECT_EQ(granted, 0) << "posted, not called within start()";
    bool sawAlert = false;
    runLoopUntil([&] { return (sawAlert = alertVisible()); }, 200ms);
    EXPECT_FALSE(sawAlert);
    EXPECT_EQ(granted, 1);
    EXPECT_FALSE(grantedInsideStart);
    EXPECT_EQ(denied, 0);
    EXPECT_EQ(openWindows(), 0);
}

TEST_F(ManagerTest, FirstStartMissingOpensTheWindowAndRaisesDeniedOnceWithinStart)
{
    start();
    EXPECT_EQ(manager->state(), PermissionState::Missing);
    EXPECT_EQ(manager->pollInterval(), 1.0);
    EXPECT_TRUE(manager->isWindowOpen());
    EXPECT_EQ(openWindows(), 1);
    EXPECT_EQ(denied, 1);
    EXPECT_FALSE(deniedOutsideStart);
    EXPECT_EQ(seam.probeQueries, 0) << "no probe without trust";
    // Further ticks, the polls' and our own, open no second window and raise
    // no second denied.
    const int queries = seam.trustQueries;
    runLoopFor(2300ms);
    EXPECT_GT(seam.trustQueries, queries + 2) << "both polls keep asking";
    start();
    EXPECT_EQ(openWindows(), 1);
    EXPECT_EQ(denied, 1);
    EXPECT_EQ(granted, 0);
}

TEST_F(ManagerTest, TrustGrantedWhileTheWindowIsOpenGivesOneGrantedAndClosesIt)
{
    KCore::App::setDockIconVisible(false);
    start();
    ASSERT_EQ(openWindows(), 1);
    EXPECT_TRUE(KCore::App::isDockIconVisible());
    seam.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted > 0 && !manager->isWindowOpen(); }, 3s));
    EXPECT_EQ(manager->state(), PermissionState::Granted);
    EXPECT_EQ(manager->pollInterval(), 5.0);
    EXPECT_FALSE(KCore::App::isDockIconVisible());
    runLoopFor(1500ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(openWindows(), 0);
    EXPECT_EQ(denied, 1);
}

TEST_F(ManagerTest, WhenTheManagerSeesTrustFirstTheWindowStillGoesWithoutASecondGranted)
{
    start();
    seam.trusted = true;
    start(); // the manager's own tick, before the window's poll
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

// A quit here (the user-close path) would end the binary via the guard.
TEST_F(ManagerTest, DestroyingTheManagerClosesTheWindowAndStopsPolling)
{
    KCore::App::setDockIconVisible(false);
    start();
    ASSERT_EQ(openWindows(), 1);
    manager.reset();
    EXPECT_EQ(openWindows(), 0);
    EXPECT_FALSE(KCore::App::isDockIconVisible());
    const int queries = seam.trustQueries;
    runLoopFor(1300ms);
    EXPECT_EQ(seam.trustQueries, queries);
}

TEST_F(ManagerTest, TheDeniedCallbackMayDestroyTheManagerAndAPostedGrantIsDroppedWithIt)
{
    manager->setDeniedCallback([this] { manager.reset(); });
    start();
    EXPECT_FALSE(manager);
    EXPECT_EQ(openWindows(), 0);
    runLoopFor(1200ms);

    manager = std::make_shared<KSystem::AccessibilityManager>(seam);
    manager->setGrantedCallback([this] { ++granted; });
    seam.trusted = true;
    start();
    manager.reset();
    runLoopFor(50ms);
    EXPECT_EQ(granted, 0);
}

void say(const std::string &line)
{
    std::fputs((line + "\n").c_str(), stderr);
}

// A quit ends the process, so each quitting path runs in a death test's
// child, which answers every alert with its first button, closes the window
// when asked, and says on stderr what it saw.
class QuitPath : public ManagerTest {
protected:
    QuitPath() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    void watch(bool closeWindow)
    {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        KCore::App::instance()->setOnWillTerminate([] { say("will-terminate"); });
        manager->setGrantedCallback([] { say("granted"); });
        manager->setDeniedCallback([] { say("denied"); });
        auto *poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, [closeWindow] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (box && box->isVisible()) {
                    QString seen = "alert " + box->windowTitle() + ";" + box->text().replace('\n', '~') + ";"
                        + box->informativeText() + ";" + (box->icon() == QMessageBox::Information ? "i" : "other");
                    for (QAbstractButton *button : box->buttons())
                        seen += ";" + button->text();
                    say(seen.toStdString());
                    box->buttons().first()->click();
                    return;
                }
                if (widget->objectName() == QLatin1String("AccessibilityWindow") && widget->isVisible()
                    && widget->property("seen").isNull()) {
                    widget->setProperty("seen", true);
                    say("window-open");
                    if (closeWindow)
                        widget->close();
                }
            }
        });
        poll->start(10);
    }
};

const std::string kLimitationAlert = "alert ;Tessaron Helper~~Accessibility permission granted, but system limitation "
                                     "prevents functionality. Application will now exit;;i;OK\n";

// The older systems are the rules' table; one is enough for the quitting path.
TEST_F(QuitPath, OnAnOldSystemTrustWithAFailingProbeShowsTheLimitationThenQuits)
{
    seam.trusted = true;
    seam.probe = false;
    seam.version = {10, 9, 5};
    // The alert is answered within start(); no window, no notification, the
    // state unchanged, then the orderly quit.
    EXPECT_EXIT(
        {
            watch(false);
            manager->start();
            say("state " + std::to_string(static_cast<int>(manager->state())));
            runLoopFor(10s);
        },
        testing::ExitedWithCode(0), "^" + kLimitationAlert + "state 0\nwill-terminate\n$");
}

TEST_F(QuitPath, TheWindowsPollShowsTheLimitationOnAnyVersion)
{
    seam.trusted = true;
    seam.probe = false;
    EXPECT_EXIT(
        {
            watch(false);
            KUI::AccessibilityDialog dialog(seam);
            dialog.setGrantedCallback([] { say("granted"); });
            dialog.show();
            runLoopFor(10s);
        },
        testing::ExitedWithCode(0), "^window-open\n" + kLimitationAlert + "will-terminate\n$");
}

// The quit is posted: the second call returns at once, before it lands.
TEST_F(QuitPath, TheLimitationIsShownOncePerProcess)
{
    EXPECT_EXIT(
        {
            watch(false);
            KSystem::showSystemLimitationAndQuit();
            say("first-returned");
            KSystem::showSystemLimitationAndQuit();
            say("second-returned");
            runLoopFor(10s);
        },
        testing::ExitedWithCode(0), "^" + kLimitationAlert + "first-returned\nsecond-returned\nwill-terminate\n$");
}

TEST_F(QuitPath, TheUserClosingTheWindowQuitsTheHelper)
{
    EXPECT_EXIT(
        {
            watch(true);
            manager->start();
            runLoopFor(10s);
        },
        testing::ExitedWithCode(0), "^denied\nwindow-open\nwill-terminate\n$");
}

} // namespace
