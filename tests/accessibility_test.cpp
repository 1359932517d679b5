// The guidance window, the permission watcher and the alert panel on the
// offscreen platform, driven through the fake platform's trust and probe
// answers and by pressing buttons on the alerts that appear; the paths that
// quit, the unsupported notice's among them, in death tests.
#include "accessibility/accessibility_manager.h"
#include "app/unsupported_notice.h"
#include "core/app.h"
#include "ui/accessibility_dialog.h"
#include "ui/alert_box.h"
#include "ui/limitation_alert.h"
#include "ui/message_box.h"
#include "tests/support/fake_platform.h"
#include "tests/support/loop.h"
#include "tests/support/reliability.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <unistd.h>

using namespace std::chrono_literals;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

// Any quit outside a death test would end the binary with status 0 and
// hide every later failure: make it loud instead.
class QuitGuard : public testing::Environment {
public:
    void SetUp() override
    {
        KCore::App::instance()->setOnWillTerminate([] {
            std::fputs("unexpected quit request\n", stderr);
            ::_exit(3);
        });
    }
};

[[maybe_unused]] testing::Environment *const quitGuard = testing::AddGlobalTestEnvironment(new QuitGuard);

const std::string kQuery = "?utm_source=mas&utm_medium=10.13.6&utm_campaign=2.5.1&utm_content=pro.tessaron.helper";

QWidgetList openWindows()
{
    QWidgetList open;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("AccessibilityWindow") && widget->isVisible())
            open.append(widget);
    return open;
}

QAbstractButton *button(QWidget *window, const char *name)
{
    return window->findChild<QAbstractButton *>(QLatin1String(name));
}

// Object name to text, for every label, button and group box, and the title.
std::map<std::string, std::string> texts(QWidget *window)
{
    std::map<std::string, std::string> all = {{"(title)", window->windowTitle().toStdString()}};
    for (QLabel *label : window->findChildren<QLabel *>())
        if (!label->text().isEmpty())
            all[label->objectName().toStdString()] = label->text().toStdString();
    for (QAbstractButton *b : window->findChildren<QAbstractButton *>())
        all[b->objectName().toStdString()] = b->text().toStdString();
    for (QGroupBox *box : window->findChildren<QGroupBox *>())
        all[box->objectName().toStdString()] = box->title().toStdString();
    return all;
}

// A fixed minimum width once let the layout squeeze a title out of view.
void expectReadableButtons(QWidget *window)
{
    for (QAbstractButton *b : window->findChildren<QAbstractButton *>())
        EXPECT_GE(b->width(), b->sizeHint().width()) << b->text().toStdString();
}

QMessageBox *visibleAlert()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

// What the user saw: "title|text|informative|buttons|default|escape|icon"
// and the flags. A custom image has no standard icon: its size then.
std::string look(QMessageBox *box)
{
    const auto text = [](QAbstractButton *button) { return button ? button->text() : QString("-"); };
    QString seen = box->windowTitle() + "|" + box->text() + "|" + box->informativeText() + "|";
    for (QAbstractButton *button : box->buttons())
        seen += text(button) + ",";
    const QSize image = box->iconPixmap().size();
    seen += "|" + text(box->defaultButton()) + "|" + text(box->escapeButton()) + "|"
        + (box->icon() != QMessageBox::NoIcon ? QString::number(box->icon())
                                              : QString("%1x%2").arg(image.width()).arg(image.height()));
    for (QLabel *label : box->findChildren<QLabel *>())
        seen += label->text() == box->text() && label->font().bold() ? " bold" : "";
    seen += box->textFormat() == Qt::PlainText ? " plain" : "";
    seen += box->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? " onTop" : "";
    return (seen + (box->isModal() ? " modal" : "")).toStdString();
}

// Looks at the next alert, from inside its own loop, and presses the button
// with the given text; without one the alert is closed unanswered. Told
// what it saw, it answers every later alert too.
struct Answer {
    explicit Answer(const std::string &press, std::function<void(const std::string &)> onSeen = {})
    {
        QObject::connect(&poll, &QTimer::timeout, [this, press, onSeen] {
            QMessageBox *box = visibleAlert();
            if (!box)
                return;
            if (!onSeen)
                poll.stop();
            seen = look(box);
            if (onSeen)
                onSeen(*seen);
            for (QAbstractButton *button : box->buttons())
                if (button->text().toStdString() == press)
                    return button->click();
            box->done(0);
        });
        poll.start(5);
    }

    std::optional<std::string> seen;
    QTimer poll;
};

class Guidance : public testing::Test {
protected:
    Guidance()
    {
        platform.executable = TestSupport::makeBundle(dir.path(), "Tessaron Helper", TestSupport::helperInfo(),
            {TESSARON_ACCESSIBILITY_UI, TESSARON_APP_ICON});
    }
    std::string uiFile() const { return dir / "Tessaron Helper.app/Contents/Resources/Accessibility.ui"; }

    Harness::TempDir dir;
    TestSupport::FakePlatform &platform = TestSupport::freshHost();
};

TEST_F(Guidance, LoadsTheWindowFromTheBundleWithTheDisplayNameInEveryText)
{
    testing::internal::CaptureStderr();
    KUI::AccessibilityDialog dialog(platform);
    EXPECT_EQ(dialog.window(), nullptr) << "the window is made by show()";
    dialog.show();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    QWidget *window = dialog.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible() && window->isWindow());
    auto all = texts(window);
    EXPECT_EQ(all["(title)"], "Tessaron Pointer needs input access");
    EXPECT_EQ(all["headingLabel"], "Tessaron Pointer cannot move the pointer yet");
    EXPECT_EQ(all["openSettingsButton"], "How to Give Tessaron Pointer Input Access…");
    for (const auto &[name, text] : all) {
        EXPECT_EQ(text.find("{{APPNAME}}"), std::string::npos) << name << ": " << text;
        EXPECT_EQ(text.find("Tessaron Helper"), std::string::npos) << name << " must use the display name";
    }
    // Nested inside the group box: the walk recursed.
    EXPECT_NE(all["stepsLabel"].find("Start Tessaron Pointer from your desktop session"), std::string::npos);
    // The icon named in the file is found next to it.
    EXPECT_FALSE(window->findChild<QLabel *>(QStringLiteral("iconLabel"))->pixmap().isNull());
    expectReadableButtons(window);

    // On a Wayland desktop the explanation and the steps are that desktop's.
    const std::pair<Platform::Desktop, const char *> desktops[] = {{Platform::Desktop::Wlroots, "virtual pointer"},
        {Platform::Desktop::KdePlasma, "KWin"}, {Platform::Desktop::Gnome, "Mutter"},
        {Platform::Desktop::OtherWayland, "no way to move the pointer"}};
    for (const auto &[desktop, word] : desktops) {
        platform.onDesktop = desktop;
        KUI::AccessibilityDialog on(platform);
        on.show();
        auto said = texts(on.window());
        EXPECT_NE((said["explanationLabel"] + said["stepsLabel"]).find(word), std::string::npos) << word;
        EXPECT_NE(said["stepsLabel"].find("Keep this window open"), std::string::npos) << word;
        for (const auto &[name, text] : said)
            EXPECT_EQ(text.find("{{APPNAME}}"), std::string::npos) << word << " " << name << ": " << text;
        said["explanationLabel"] = all["explanationLabel"], said["stepsLabel"] = all["stepsLabel"];
        EXPECT_EQ(said, all) << word << ": only the explanation and the steps differ";
    }
    platform.onDesktop = Platform::Desktop::X11;

    // The built-in window says what the file says.
    std::filesystem::remove(uiFile());
    testing::internal::CaptureStderr();
    KUI::AccessibilityDialog builtIn(platform);
    builtIn.show();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts(builtIn.window()), all);
    expectReadableButtons(builtIn.window());

    // Without a display name the bundle name; without either, the texts still read.
    for (const auto &[name, info] : {std::pair{"Plain Helper", TestSupport::Values{{"CFBundleName", "Plain Helper"}}},
             std::pair{"Tessaron Helper", TestSupport::Values{{"CFBundleIdentifier", "x.helper"}}}}) {
        Harness::TempDir other;
        platform.executable = TestSupport::makeBundle(other.path(), "Other", info, {TESSARON_ACCESSIBILITY_UI});
        KUI::AccessibilityDialog named(platform);
        named.show();
        EXPECT_EQ(named.window()->windowTitle().toStdString(), std::string(name) + " needs input access");
        EXPECT_EQ(texts(named.window())["headingLabel"], std::string(name) + " cannot move the pointer yet");
    }
}

TEST_F(Guidance, ABadWindowFileFallsBackToTheBuiltInWindowAndSaysSoInOneLine)
{
    const std::string good = Harness::readFile(uiFile()), executable = platform.executable;
    for (const std::string kind : {"missing", "garbage", "truncated", "nobuttons", "outside"}) {
        SCOPED_TRACE(kind);
        Harness::writeFile(uiFile(), kind == "garbage" ? "this is not a user interface file\n"
                : kind == "truncated"                      ? good.substr(0, good.size() / 2)
                : kind == "nobuttons" ? "<ui version=\"4.0\"><class>W</class><widget class=\"QWidget\" name=\"W\">"
                                        "<layout class=\"QVBoxLayout\"><item><widget class=\"QLabel\" name=\"l\">"
                                        "<property name=\"text\"><string>{{APPNAME}}</string></property></widget>"
                                        "</item></layout></widget></ui>"
                                      : good);
        if (kind == "missing")
            std::filesystem::remove(uiFile());
        platform.executable = kind == "outside" ? dir / "tessaron-helper" : executable;
        platform.calls.clear();

        testing::internal::CaptureStderr();
        KUI::AccessibilityDialog dialog(platform);
        dialog.show();
        const std::string errors = testing::internal::GetCapturedStderr();
        QWidget *window = dialog.window();
        EXPECT_TRUE(window->isVisible());
        // Outside a bundle there is no display name to read.
        const std::string name = kind == "outside" ? "Tessaron Helper" : "Tessaron Pointer";
        EXPECT_EQ(window->windowTitle().toStdString(), name + " needs input access");
        // One line, with a reason that is not empty.
        const std::string prefix = "tessaron-helper: cannot load " + (kind == "outside" ? "Accessibility.ui" : uiFile())
            + ": ", suffix = "; using the built-in window\n";
        EXPECT_TRUE(errors.size() > prefix.size() + suffix.size() && errors.starts_with(prefix)
            && errors.ends_with(suffix) && std::count(errors.begin(), errors.end(), '\n') == 1)
            << errors;
        // The fallback's buttons are wired like the real ones.
        for (const char *name : {"openSettingsButton", "openFAQButton", "openWebsiteButton"})
            ASSERT_NE(button(window, name), nullptr) << name;
        button(window, "openWebsiteButton")->click();
        ASSERT_EQ(platform.calls.size(), 1u);
        EXPECT_EQ(platform.calls[0].rfind("open https://tessaron.pro/?utm_source=mas&utm_medium=10.13.6&", 0), 0u)
            << platform.calls[0];
    }
    TestSupport::recordTrial("a guidance window file missing, garbage, cut in half, without buttons, or outside a bundle",
        "showed the built-in window with working buttons and said so in one line");
}

// Destroying the dialog closes its window too, but that is not the user's
// close; the user's close may destroy the dialog from its callback.
TEST_F(Guidance, OnlyTheUserClosingTheWindowRunsTheClosedCallbackOnce)
{
    for (const std::string how : {"user", "destroy", "user-destroys"}) {
        int closed = 0;
        auto dialog = std::make_shared<KUI::AccessibilityDialog>(platform);
        dialog->setClosedCallback([&] {
            ++closed;
            if (how == "user-destroys")
                dialog.reset();
        });
        dialog->show();
        QPointer<QWidget> window = dialog->window();
        if (how != "destroy")
            window->close();
        EXPECT_EQ(dialog == nullptr, how == "user-destroys");
        dialog.reset();
        EXPECT_TRUE(runLoopUntil([&] { return window.isNull(); }, 2s)) << how;
        EXPECT_EQ(closed, how == "destroy" ? 0 : 1) << how;
    }
}

// The buttons open their links and leave the window open; the poll asks for
// trust every second, runs the granted callback once and stops.
TEST_F(Guidance, ButtonsOpenTheirLinksAndThePollWaitsForTrustThenRunsTheGrantedCallbackOnce)
{
    int granted = 0, closed = 0;
    KUI::AccessibilityDialog dialog(platform);
    dialog.setGrantedCallback([&] { ++granted; });
    dialog.setClosedCallback([&] { ++closed; });
    dialog.show();
    for (const char *name : {"openSettingsButton", "openWebsiteButton", "openFAQButton"})
        button(dialog.window(), name)->click();
    EXPECT_EQ(platform.calls, (std::vector<std::string>{"open https://tessaron.pro/help/input-permission" + kQuery,
                                  "open https://tessaron.pro/" + kQuery, "open https://tessaron.pro/faq/" + kQuery}));
    runLoopFor(1200ms);
    EXPECT_GE(platform.trustQueries, 1);
    EXPECT_EQ(platform.probeQueries, 0) << "no probe without trust";
    EXPECT_EQ(granted + closed, 0);
    platform.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted > 0; }, 2s));
    const int queries = platform.trustQueries;
    runLoopFor(1500ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(platform.trustQueries, queries) << "the poll stops once granted";
    EXPECT_TRUE(dialog.window()->isVisible()) << "the dialog's owner closes it, not the poll";
    // The FAQ link is kept from its first use; the others follow the system.
    platform.version = {10, 11, 2};
    const std::string query = "?utm_source=mas&utm_medium=10.11.2&utm_campaign=2.5.1&utm_content=pro.tessaron.helper";
    EXPECT_EQ(KUI::faqURL(), "https://tessaron.pro/faq/" + kQuery);
    EXPECT_EQ(KUI::websiteURL(), "https://tessaron.pro/" + query);
    EXPECT_EQ(KUI::accessibilitySettingsURL(), "https://tessaron.pro/help/input-permission" + query);
}

// A text that already names the app keeps its placeholder; the walk covers
// the views below only, and a missing view is nothing to do.
TEST(ReplaceTextInSubviews, ReachesEveryNestedTextAndKeepsTextsThatAlreadyNameTheApp)
{
    QWidget root;
    root.setWindowTitle("{{APPNAME}}");
    auto *group = new QGroupBox("{{APPNAME}} steps", &root);
    auto *deep = new QLabel("Deep {{APPNAME}}", new QWidget(group));
    auto *twice = new QPushButton("Open {{APPNAME}} or {{APPNAME}}", &root);
    auto *holds = new QLabel("{{APPNAME}} is Tessaron Helper", &root);
    auto *field = new QLineEdit("{{APPNAME}}", &root);
    KUI::replaceTextInSubviews(nullptr, {{"{{APPNAME}}", "x"}});
    KUI::replaceTextInSubviews(&root, {{"{{APPNAME}}", "Tessaron Helper"}});
    EXPECT_EQ((QStringList{root.windowTitle(), group->title(), deep->text(), twice->text(), holds->text(), field->text()}),
        (QStringList{"{{APPNAME}}", "Tessaron Helper steps", "Deep Tessaron Helper",
            "Open Tessaron Helper or Tessaron Helper", "{{APPNAME}} is Tessaron Helper", "Tessaron Helper"}));
}

class Watcher : public Guidance {
protected:
    Watcher()
    {
        manager->setGrantedCallback([this] { ++granted, grantedInsideStart |= inStart; });
        manager->setDeniedCallback([this] { ++denied, deniedOutsideStart |= !inStart; });
    }
    void start()
    {
        inStart = true;
        manager->start();
        inStart = false;
    }

    std::shared_ptr<KSystem::AccessibilityManager> manager = std::make_shared<KSystem::AccessibilityManager>(platform);
    int granted = 0, denied = 0;
    bool inStart = false, grantedInsideStart = false, deniedOutsideStart = false;
};

// Missing: the manager and the window each ask every second. Granted: only
// the manager, every five seconds.
TEST_F(Watcher, MissingOpensTheWindowTheGrantClosesItAndARevocationOpensItAgain)
{
    KCore::App::setDockIconVisible(false);
    start();
    EXPECT_EQ(openWindows().size(), 1);
    EXPECT_TRUE(KCore::App::isDockIconVisible());
    EXPECT_EQ(denied, 1);
    EXPECT_FALSE(deniedOutsideStart);
    EXPECT_EQ(platform.probeQueries, 0) << "no probe without trust";
    // Further ticks, the polls' and our own, open no second window and raise
    // no second denied.
    const int queries = platform.trustQueries;
    runLoopFor(2300ms);
    EXPECT_GT(platform.trustQueries, queries + 2) << "both polls keep asking";
    start();
    EXPECT_EQ(openWindows().size(), 1);
    EXPECT_EQ(denied, 1);

    // The manager's own tick sees the grant first; the window's poll closes it.
    platform.trusted = true;
    start();
    EXPECT_EQ(openWindows().size(), 1);
    ASSERT_TRUE(runLoopUntil([&] { return openWindows().size() == 0; }, 3s));
    const int grantedQueries = platform.trustQueries;
    runLoopFor(2300ms);
    EXPECT_EQ(platform.trustQueries, grantedQueries) << "granted: the next check is five seconds away";
    EXPECT_EQ(granted, 1);
    EXPECT_FALSE(KCore::App::isDockIconVisible());

    platform.trusted = false;
    start();
    EXPECT_EQ(denied, 2);
    EXPECT_EQ(openWindows().size(), 1);
    // This time the window's poll sees the grant first.
    platform.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted == 2 && openWindows().size() == 0; }, 3s));
    EXPECT_FALSE(grantedInsideStart);
}

// From 10.10 on a failing probe does not count against the grant, and says nothing.
TEST_F(Watcher, GrantedAtTheFirstStartPostsGrantedOnceWithoutAWindow)
{
    platform.trusted = true;
    platform.probe = false;
    platform.version = {10, 12, 6};
    start();
    EXPECT_EQ(granted, 0) << "posted, not called within start()";
    runLoopFor(200ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(denied + openWindows().size(), 0);
    for (QWidget *widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QMessageBox *>(widget) && widget->isVisible());
}

TEST_F(Watcher, DestroyingItClosesTheWindowStopsPollingAndDropsAPostedGrant)
{
    // The denied callback may destroy the manager.
    manager->setDeniedCallback([this] { manager.reset(); });
    start();
    EXPECT_FALSE(manager);
    EXPECT_EQ(openWindows().size(), 0);
    const int queries = platform.trustQueries;
    runLoopFor(1300ms);
    EXPECT_EQ(platform.trustQueries, queries);

    manager = std::make_shared<KSystem::AccessibilityManager>(platform);
    manager->setGrantedCallback([this] { ++granted; });
    platform.trusted = true;
    start();
    manager.reset();
    runLoopFor(50ms);
    EXPECT_EQ(granted, 0);
}

// What ends in a quit, each in a death test's child. The child answers
// every alert with the given button, closes the guidance window when asked,
// and says on stderr what it saw and, at the end, what the platform was
// asked to do.
struct QuitCase {
    const char *name;
    bool trusted, probe;
    std::int64_t minor; // of 10.x
    std::string act, press, said;
};

const std::string kLimitation = "alert |Tessaron Helper\n\nAccessibility permission granted, but system limitation "
                                "prevents functionality. Application will now exit||OK,|OK|-|1 bold plain onTop modal\n";
const std::string kUnsupported =
    "alert Tessaron Helper v2.5.1 (42)|Tessaron Helper is only compatible with\nmacOS 10.10, 10.11, 10.12, and 10.13."
    "\n\nIf you're running macOS 10.14 or later, please download the full app using the button below.||OK,Download "
    "Tessaron,|OK|-|2 bold plain onTop modal\n";

// The older systems are the rules' table; one is enough for the quitting path,
// where the alert is answered within start(): no window, the state unchanged.
// The limitation's quit is posted: a second call returns at once.
const QuitCase kQuits[] = {
    {"OnAnOldSystemTrustWithAFailingProbeShowsTheLimitation", true, false, 9, "watch", "OK", kLimitation + "started\n"},
    {"TheWindowsPollShowsTheLimitationOnAnyVersion", true, false, 13, "window", "OK", "window-open\n" + kLimitation},
    {"TheLimitationIsShownOncePerProcess", false, true, 13, "limitation", "OK",
        kLimitation + "first-returned\nsecond-returned\n"},
    {"TheUserClosingTheWindowQuits", false, true, 13, "watch-close", "OK", "denied\nstarted\nwindow-open\n"},
    {"TheUnsupportedNoticeQuitsOnOK", false, true, 14, "notice", "OK", kUnsupported},
    {"TheUnsupportedNoticeOpensTheSiteOnDownloadThenQuits", false, true, 14, "notice", "Download Tessaron",
        kUnsupported + "open https://tessaron.pro\n"},
};

class QuitPath : public Guidance, public testing::WithParamInterface<QuitCase> {};

TEST_P(QuitPath, SaysWhatItShowsThenQuitsInOrder)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QuitCase &c = GetParam();
    platform.trusted = c.trusted, platform.probe = c.probe, platform.version = {10, c.minor, 0};
    const auto say = [](const std::string &line) { std::fputs((line + "\n").c_str(), stderr); };
    std::shared_ptr<KSystem::AccessibilityManager> manager;
    std::shared_ptr<KUI::MessageBox> box;
    std::optional<KUI::AccessibilityDialog> dialog;
    EXPECT_EXIT(
        {
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
            KCore::App::instance()->setOnWillTerminate([&] {
                for (const std::string &call : platform.calls)
                    say(call);
                say("will-terminate");
            });
            Answer answer(c.press, [&](const std::string &seen) { say("alert " + seen); });
            QTimer windows;
            QObject::connect(&windows, &QTimer::timeout, [&] {
                if (!openWindows().isEmpty() && !windows.property("seen").isValid()) {
                    windows.setProperty("seen", true);
                    say("window-open");
                    if (c.act == "watch-close")
                        openWindows().front()->close();
                }
            });
            windows.start(10);
            if (c.act.starts_with("watch")) {
                manager = std::make_shared<KSystem::AccessibilityManager>(platform);
                manager->setDeniedCallback([&] { say("denied"); });
                manager->start();
                say("started");
            } else if (c.act == "window") {
                dialog.emplace(platform).show();
            } else if (c.act == "limitation") {
                KSystem::showSystemLimitationAndQuit();
                say("first-returned");
                KSystem::showSystemLimitationAndQuit();
                say("second-returned");
            } else {
                showUnsupportedNotice(box);
            }
            runLoopFor(10s);
        },
        testing::ExitedWithCode(0), testing::Eq(c.said + "will-terminate\n"));
}

INSTANTIATE_TEST_SUITE_P(Quits, QuitPath, testing::ValuesIn(kQuits),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MessageBox, ShowsWhatWasSetAndGivesTheIndexOfThePressedButton)
{
    KUI::MessageBox box;
    {
        // The default OK gives way to buttons added after it was shown.
        Answer ok("OK");
        EXPECT_EQ(box.runModal(), 0);
    }
    box.setTitle("Tessaron Helper");
    box.setMessageText("Line one\n\n<b>not markup</b>");
    box.setInformativeText("Details follow.");
    for (const auto &[title, code] : {std::pair{"Install", 0}, {"Cancel", 1}, {"Later", 2}})
        EXPECT_EQ(box.addButton(title), code);
    Answer answer("Later");
    EXPECT_EQ(box.runModal(), 2);
    ASSERT_TRUE(answer.seen);
    // Markup reads as written; without a custom icon, the default (Warning) one.
    EXPECT_EQ(*answer.seen, "Tessaron Helper|Line one\n\n<b>not markup</b>|Details follow.|Install,Cancel,Later,|Install|"
                            "Cancel|2 bold plain onTop modal");
    Answer unanswered("");
    EXPECT_EQ(box.runModal(), KUI::kAbortResponse - KUI::kFirstButtonResponse);
}

// A file, a missing one, a broken one, a theme name nobody has, nothing:
// only the image replaces the default icon.
TEST(MessageBox, AnImageFileOrThemeNameElseTheDefaultIcon)
{
    Harness::TempDir dir;
    Harness::writeFile(dir / "broken.icns", "icns but not really");
    for (const std::string &source : {std::string(TESSARON_APP_ICON), dir / "missing.icns", dir / "broken.icns",
             std::string("no-such-icon-name-anywhere"), std::string()}) {
        KUI::MessageBox box;
        box.setIcon(source);
        Answer answer("OK");
        box.runModal();
        EXPECT_EQ(answer.seen, std::string("|||OK,|OK|-|") + (source == TESSARON_APP_ICON ? "64x64" : "2")
                + " bold plain onTop modal") << source;
    }
}

// The alert appears on a later turn; closed while up, it goes without its
// completion and the box starts over with a fresh alert.
TEST(MessageBox, ShowAppearsLaterAndACloseDismissesWithoutTheCompletion)
{
    KUI::MessageBox box;
    box.setTitle("First");
    int completions = 0;
    box.show([&](int) { ++completions; });
    EXPECT_EQ(visibleAlert(), nullptr) << "show must not show before returning";
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (box.isVisible())
            watch.stop(), box.close();
    });
    watch.start(5);
    ASSERT_TRUE(runLoopUntil([&] { return !watch.isActive() && visibleAlert() == nullptr; }, 5s));
    TestSupport::runLoopFor(50ms);
    Answer answer("OK");
    std::optional<int> result;
    box.show([&](int code) { result = code; });
    ASSERT_TRUE(runLoopUntil([&] { return result.has_value(); }, 5s));
    EXPECT_EQ(*result, 0);
    EXPECT_EQ(answer.seen, "|||OK,|OK|-|2 bold plain onTop modal");
    EXPECT_EQ(completions, 0);
    EXPECT_LE(KUI::alertGeneration(), 0) << "idle once the result is delivered";
}

// A single title only repeats the default OK; two or more replace it. Styles
// 0, 1, 2 are informational, warning, critical; others keep the default.
TEST(MessageBox, ShowMessagePicksTheStandardIconAndTheButtons)
{
    const std::tuple<int, std::string, std::vector<std::string>, std::string, QMessageBox::Icon, std::string, int>
        cases[] = {
            {0, "", {"Proceed"}, "OK", QMessageBox::Information, "OK", 0},
            {1, "", {}, "OK", QMessageBox::Warning, "OK", 0},
            {2, "It cannot be undone.", {"Yes", "No"}, "No", QMessageBox::Critical, "Yes,No", 1},
            {3, "", {"OK"}, "OK", QMessageBox::Warning, "OK", 0},
        };
    for (const auto &[style, informative, titles, press, icon, buttons, code] : cases) {
        Answer answer(press);
        EXPECT_EQ(KUI::MessageBox::showMessage("Really?", informative, style, titles), code) << style;
        EXPECT_EQ(answer.seen, "|Really?|" + informative + "|" + buttons + ",|" + buttons.substr(0, buttons.find(','))
                + "|-|" + std::to_string(icon) + " bold plain onTop modal") << style;
    }
}

} // namespace
