// The guidance window on the offscreen platform: loading from the bundle and
// the built-in fallback, the name put into its texts, its buttons, its poll,
// its close paths and the Dock icon state.
#include "ui/accessibility_dialog.h"
#include "core/app.h"
#include "tests/accessibility_test_seam.h"
#include "tests/support/loop.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdio>
#include <map>
#include <unistd.h>

using namespace std::chrono_literals;
using AccessibilityTest::FakeBundle;
using AccessibilityTest::FakeSeam;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

// Any quit from these tests would end the binary with status 0 and hide
// every later failure: make it loud instead.
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

class DialogTest : public testing::Test {
protected:
    DialogTest()
        : bundle(dir.path())
        , scoped(seam)
    {
        seam.executable = bundle.executable();
        bundle.copyIntoResources(TESSARON_ACCESSIBILITY_UI);
        bundle.copyIntoResources(TESSARON_APP_ICON);
    }

    QAbstractButton *button(QWidget *window, const char *name)
    {
        return window->findChild<QAbstractButton *>(QLatin1String(name));
    }

    // A fixed minimum width once let the layout squeeze a title out of view.
    static void expectReadableButtons(QWidget *window)
    {
        for (QAbstractButton *b : window->findChildren<QAbstractButton *>())
            EXPECT_GE(b->width(), b->sizeHint().width()) << b->text().toStdString();
    }

    // Object name to text, for every label, button and group box, and the title.
    static std::map<std::string, std::string> texts(QWidget *window)
    {
        std::map<std::string, std::string> all;
        all["(title)"] = window->windowTitle().toStdString();
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (!label->text().isEmpty())
                all[label->objectName().toStdString()] = label->text().toStdString();
        }
        for (QAbstractButton *b : window->findChildren<QAbstractButton *>())
            all[b->objectName().toStdString()] = b->text().toStdString();
        for (QGroupBox *box : window->findChildren<QGroupBox *>())
            all[box->objectName().toStdString()] = box->title().toStdString();
        return all;
    }

    TestSupport::TempDir dir;
    FakeBundle bundle;
    FakeSeam seam;
    Platform::ScopedSeam scoped;
};

TEST_F(DialogTest, LoadsTheWindowFromTheBundleWithTheDisplayNameInEveryText)
{
    testing::internal::CaptureStderr();
    KUI::AccessibilityDialog dialog(seam);
    EXPECT_EQ(dialog.window(), nullptr) << "the window is made by show()";
    dialog.show();
    std::string errors = testing::internal::GetCapturedStderr();
    QWidget *window = dialog.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(window->windowTitle().toStdString(), "Tessaron Pointer needs input access");
    auto all = texts(window);
    EXPECT_EQ(all["headingLabel"], "Tessaron Pointer cannot move the pointer yet");
    EXPECT_EQ(all["openSettingsButton"], "How to Give Tessaron Pointer Input Access…");
    for (const auto &[name, text] : all) {
        EXPECT_EQ(text.find("{{APPNAME}}"), std::string::npos) << name << ": " << text;
        EXPECT_EQ(text.find("Tessaron Helper"), std::string::npos) << name << " must use the display name";
    }
    // Nested inside the group box: the walk recursed.
    EXPECT_NE(all["stepsLabel"].find("Start Tessaron Pointer from your desktop session"), std::string::npos);
    // The icon named in the file is found next to it.
    auto *icon = window->findChild<QLabel *>(QStringLiteral("iconLabel"));
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    expectReadableButtons(window);

    // The built-in window says what the file says.
    std::filesystem::remove(bundle.uiPath());
    testing::internal::CaptureStderr();
    KUI::AccessibilityDialog builtIn(seam);
    builtIn.show();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts(builtIn.window()), all);
    expectReadableButtons(builtIn.window());
}

// Without a display name the bundle name is used; without either the texts still read.
TEST_F(DialogTest, WithoutADisplayNameTheBundleNameIsUsed)
{
    auto noDisplayName = AccessibilityTest::standardInfo();
    noDisplayName.erase("CFBundleDisplayName");
    for (const auto &info : {noDisplayName, std::map<std::string, std::string>{{"CFBundleIdentifier", "x.helper"}}}) {
        TestSupport::TempDir other;
        FakeBundle plain(other.path(), info);
        plain.copyIntoResources(TESSARON_ACCESSIBILITY_UI);
        seam.executable = plain.executable();
        KUI::AccessibilityDialog dialog(seam);
        dialog.show();
        auto all = texts(dialog.window());
        EXPECT_EQ(all["(title)"], "Tessaron Helper needs input access");
        EXPECT_EQ(all["headingLabel"], "Tessaron Helper cannot move the pointer yet");
        for (const auto &[name, text] : all)
            EXPECT_EQ(text.find("{{APPNAME}}"), std::string::npos) << name;
    }
}

struct BadUiCase {
    const char *name;
    // "missing", "garbage", "truncated", "nobuttons", "outside"
    std::string kind;
};

const BadUiCase kBadUi[] = {
    {"Missing", "missing"},
    {"NotXml", "garbage"},
    {"Truncated", "truncated"},
    {"WithoutTheThreeButtons", "nobuttons"},
    {"NotRunningFromABundle", "outside"},
};

class BadUiFile : public DialogTest, public testing::WithParamInterface<BadUiCase> {};

TEST_P(BadUiFile, FallsBackToTheBuiltInWindowAndSaysSoInOneLine)
{
    const std::string &kind = GetParam().kind;
    const std::string good = AccessibilityTest::readFile(TESSARON_ACCESSIBILITY_UI);
    if (kind == "missing")
        std::filesystem::remove(bundle.uiPath());
    else if (kind == "garbage")
        bundle.writeUi("this is not a user interface file\n");
    else if (kind == "truncated")
        bundle.writeUi(good.substr(0, good.size() / 2));
    else if (kind == "nobuttons")
        bundle.writeUi("<ui version=\"4.0\"><class>W</class><widget class=\"QWidget\" name=\"W\">"
                       "<layout class=\"QVBoxLayout\"><item><widget class=\"QLabel\" name=\"l\">"
                       "<property name=\"text\"><string>{{APPNAME}}</string></property></widget></item>"
                       "</layout></widget></ui>");
    else if (kind == "outside")
        seam.executable = dir / "tessaron-helper";

    testing::internal::CaptureStderr();
    KUI::AccessibilityDialog dialog(seam);
    dialog.show();
    std::string errors = testing::internal::GetCapturedStderr();

    QWidget *window = dialog.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    for (const char *name : {"openSettingsButton", "openWebsiteButton", "openFAQButton"})
        EXPECT_NE(button(window, name), nullptr) << name;
    // Outside a bundle there is no display name to read.
    std::string name = kind == "outside" ? "Tessaron Helper" : "Tessaron Pointer";
    EXPECT_EQ(window->windowTitle().toStdString(), name + " needs input access");

    // One line, with a reason that is not empty.
    const std::string where = kind == "outside" ? "Accessibility.ui" : bundle.uiPath();
    const std::string prefix = "tessaron-helper: cannot load " + where + ": ", suffix = "; using the built-in window\n";
    EXPECT_TRUE(errors.size() > prefix.size() + suffix.size() && errors.starts_with(prefix) && errors.ends_with(suffix)
        && std::count(errors.begin(), errors.end(), '\n') == 1)
        << errors;

    // The fallback's buttons are wired like the real ones. (The App caches
    // the bundle's values; outside a bundle they may be unknown, so only the
    // start of the link is certain.)
    button(window, "openWebsiteButton")->click();
    ASSERT_EQ(seam.opened.size(), 1u);
    EXPECT_EQ(seam.opened[0].rfind("https://tessaron.pro/?utm_source=mas&utm_medium=10.13.6&", 0), 0u)
        << seam.opened[0];
}

INSTANTIATE_TEST_SUITE_P(Faults, BadUiFile, testing::ValuesIn(kBadUi),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DialogTest, ButtonsOpenTheirLinksThroughTheSeamAndLeaveTheWindowOpen)
{
    int callbacks = 0;
    KUI::AccessibilityDialog dialog(seam);
    dialog.setGrantedCallback([&] { ++callbacks; });
    dialog.setClosedCallback([&] { ++callbacks; });
    dialog.show();
    QWidget *window = dialog.window();
    for (const char *name : {"openSettingsButton", "openWebsiteButton", "openFAQButton"})
        button(window, name)->click();
    EXPECT_EQ(seam.opened, (std::vector<std::string>{"https://tessaron.pro/help/input-permission" + kQuery,
                               "https://tessaron.pro/" + kQuery, "https://tessaron.pro/faq/" + kQuery}));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(callbacks, 0);

    // The FAQ link is kept from its first use; the others follow the system.
    seam.version = {10, 11, 2};
    const std::string query = "?utm_source=mas&utm_medium=10.11.2&utm_campaign=2.5.1&utm_content=pro.tessaron.helper";
    EXPECT_EQ(KUI::faqURL(), "https://tessaron.pro/faq/" + kQuery);
    EXPECT_EQ(KUI::websiteURL(), "https://tessaron.pro/" + query);
    EXPECT_EQ(KUI::accessibilitySettingsURL(), "https://tessaron.pro/help/input-permission" + query);
}

// Destroying the dialog closes its window too, but that is not the user's close.
TEST_F(DialogTest, OnlyTheUserClosingTheWindowRunsTheClosedCallbackAndOnlyOnce)
{
    for (bool userCloses : {true, false}) {
        int closed = 0;
        auto dialog = std::make_shared<KUI::AccessibilityDialog>(seam);
        dialog->setClosedCallback([&] { ++closed; });
        dialog->show();
        QPointer<QWidget> window = dialog->window();
        if (userCloses) {
            EXPECT_TRUE(window->close());
            EXPECT_FALSE(window->isVisible());
        }
        dialog.reset();
        EXPECT_TRUE(userCloses || window.isNull());
        runLoopFor(20ms);
        EXPECT_TRUE(window.isNull());
        EXPECT_EQ(closed, userCloses ? 1 : 0);
    }
}

TEST_F(DialogTest, TheClosedCallbackMayDestroyTheDialog)
{
    auto dialog = std::make_shared<KUI::AccessibilityDialog>(seam);
    dialog->setClosedCallback([&] { dialog.reset(); });
    dialog->show();
    QPointer<QWidget> window = dialog->window();
    window->close();
    EXPECT_FALSE(dialog);
    ASSERT_TRUE(runLoopUntil([&] { return window.isNull(); }, 2s));
}

TEST_F(DialogTest, ThePollWaitsForTrustThenRunsTheGrantedCallbackOnceAndStops)
{
    int granted = 0;
    KUI::AccessibilityDialog dialog(seam);
    dialog.setGrantedCallback([&] { ++granted; });
    dialog.show();
    runLoopFor(1200ms);
    EXPECT_GE(seam.trustQueries, 1) << "polls every second";
    EXPECT_EQ(seam.probeQueries, 0) << "no probe without trust";
    EXPECT_EQ(granted, 0);

    seam.trusted = true;
    ASSERT_TRUE(runLoopUntil([&] { return granted > 0; }, 2s));
    int queries = seam.trustQueries;
    runLoopFor(1500ms);
    EXPECT_EQ(granted, 1);
    EXPECT_EQ(seam.trustQueries, queries) << "the poll stops once granted";
    EXPECT_TRUE(dialog.window()->isVisible()) << "the dialog's owner closes it, not the poll";
}

TEST_F(DialogTest, ThePollMayDestroyItsOwnDialogFromTheGrantedCallback)
{
    seam.trusted = true;
    auto dialog = std::make_shared<KUI::AccessibilityDialog>(seam);
    int granted = 0;
    dialog->setGrantedCallback([&] {
        ++granted;
        dialog.reset();
    });
    dialog->show();
    QPointer<QWidget> window = dialog->window();
    ASSERT_TRUE(runLoopUntil([&] { return !dialog; }, 3s));
    EXPECT_TRUE(window.isNull());
    runLoopFor(1200ms);
    EXPECT_EQ(granted, 1);
}

TEST_F(DialogTest, DockIconShowsWhileADialogExistsAndReturnsToItsEarlierState)
{
    for (bool before : {false, true}) {
        KCore::App::setDockIconVisible(before);
        {
            KUI::AccessibilityDialog dialog(seam);
            EXPECT_TRUE(KCore::App::isDockIconVisible());
            dialog.show();
            EXPECT_TRUE(KCore::App::isDockIconVisible());
        }
        EXPECT_EQ(KCore::App::isDockIconVisible(), before);
    }
}

TEST(ReplaceTextInSubviews, ReachesEveryNestedTextAndKeepsTextsThatAlreadyNameTheApp)
{
    QWidget root;
    root.setWindowTitle("{{APPNAME}} root");
    auto *layout = new QVBoxLayout(&root);
    auto *leading = new QLabel("{{APPNAME}} needs access");
    auto *twice = new QPushButton("Open {{APPNAME}} or {{APPNAME}}");
    auto *holds = new QLabel("{{APPNAME}} is Tessaron Helper");
    auto *group = new QGroupBox("{{APPNAME}} steps");
    auto *frame = new QFrame;
    auto *deep = new QLabel("Deep {{APPNAME}}");
    auto *field = new QLineEdit("{{APPNAME}}");
    auto *frameLayout = new QVBoxLayout(frame);
    frameLayout->addWidget(deep);
    frameLayout->addWidget(field);
    (new QVBoxLayout(group))->addWidget(frame);
    layout->addWidget(leading);
    layout->addWidget(twice);
    layout->addWidget(holds);
    layout->addWidget(group);

    KUI::replaceTextInSubviews(&root, {{"{{APPNAME}}", "Tessaron Helper"}});
    EXPECT_EQ(leading->text().toStdString(), "Tessaron Helper needs access");
    EXPECT_EQ(twice->text().toStdString(), "Open Tessaron Helper or Tessaron Helper");
    EXPECT_EQ(holds->text().toStdString(), "{{APPNAME}} is Tessaron Helper");
    EXPECT_EQ(group->title().toStdString(), "Tessaron Helper steps");
    EXPECT_EQ(deep->text().toStdString(), "Deep Tessaron Helper");
    EXPECT_EQ(field->text().toStdString(), "Tessaron Helper");
    EXPECT_EQ(root.windowTitle().toStdString(), "{{APPNAME}} root") << "the walk covers the views below only";
    // No pairs or no view: nothing to do, and no crash.
    KUI::replaceTextInSubviews(&root, {});
    KUI::replaceTextInSubviews(nullptr, {{"{{APPNAME}}", "x"}});
    EXPECT_EQ(field->text().toStdString(), "Tessaron Helper");
}

} // namespace
