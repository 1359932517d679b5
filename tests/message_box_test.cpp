// The alert panel on the real Qt loop (offscreen): buttons are pressed on the
// QMessageBox that appears, and what it shows is read back.
#include "app/timer.h"
#include "install/alert_box.h"
#include "install/message_box.h"
#include "tests/support/loop.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <fstream>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

QMessageBox *visibleAlert()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->isVisible())
            return box;
    }
    return nullptr;
}

// What the user saw.
struct Seen {
    std::string title;
    std::string text;
    std::string informative;
    std::vector<std::string> buttons;
    std::string defaultButton;
    std::string escapeButton;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QSize pixmapSize;
    bool bold = false;
    bool plainText = false;
    bool onTop = false;
    bool modal = false;
};

Seen look(QMessageBox *box)
{
    Seen seen;
    seen.title = box->windowTitle().toStdString();
    seen.text = box->text().toStdString();
    seen.informative = box->informativeText().toStdString();
    for (QAbstractButton *button : box->buttons())
        seen.buttons.push_back(button->text().toStdString());
    if (box->defaultButton())
        seen.defaultButton = box->defaultButton()->text().toStdString();
    if (box->escapeButton())
        seen.escapeButton = box->escapeButton()->text().toStdString();
    seen.icon = box->icon();
    seen.pixmapSize = box->iconPixmap().size();
    for (QLabel *label : box->findChildren<QLabel *>()) {
        if (label->text() == box->text())
            seen.bold = label->font().bold();
    }
    seen.plainText = box->textFormat() == Qt::PlainText;
    seen.onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
    seen.modal = box->isModal();
    return seen;
}

QAbstractButton *buttonWithText(QMessageBox *box, const std::string &text)
{
    for (QAbstractButton *button : box->buttons()) {
        if (button->text().toStdString() == text)
            return button;
    }
    return nullptr;
}

// Acts on the next alert that appears, from inside the alert's own loop
// (a loop waiting outside would only resume once the alert is gone).
class OnAlert {
public:
    explicit OnAlert(std::function<void(QMessageBox *)> action) : action(std::move(action))
    {
        QObject::connect(&poll, &QTimer::timeout, [this] {
            if (QMessageBox *box = visibleAlert()) {
                poll.stop();
                this->action(box);
            }
        });
        poll.start(5);
    }

private:
    std::function<void(QMessageBox *)> action;
    QTimer poll;
};

// Looks at the next alert and presses the button with the given text.
class Answer {
public:
    explicit Answer(const std::string &press)
        : onAlert([this, press](QMessageBox *box) {
            seen = look(box);
            if (QAbstractButton *button = buttonWithText(box, press))
                button->click();
            else
                box->done(0);
        })
    {
    }

    std::optional<Seen> seen;

private:
    OnAlert onAlert;
};

struct Socketpair {
    Socketpair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds); }
    ~Socketpair()
    {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST(MessageBoxModal, ShowsWhatWasSetAndReturnsTheIndexOfThePressedButton)
{
    KUI::MessageBox box;
    box.setTitle("Tessaron Helper");
    box.setMessageText("Line one\n\n<b>not markup</b>");
    box.setInformativeText("Details follow.");
    EXPECT_EQ(box.addButton("Install"), 0);
    EXPECT_EQ(box.addButton("Cancel"), 1);
    EXPECT_EQ(box.addButton("Later"), 2);
    Answer answer("Cancel");
    EXPECT_EQ(box.runModal(), 1);
    ASSERT_TRUE(answer.seen);
    const Seen &seen = *answer.seen;
    EXPECT_EQ(seen.title, "Tessaron Helper");
    EXPECT_EQ(seen.text, "Line one\n\n<b>not markup</b>");
    EXPECT_TRUE(seen.plainText) << "a message with markup must read as written";
    EXPECT_TRUE(seen.bold);
    EXPECT_EQ(seen.informative, "Details follow.");
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Install", "Cancel", "Later"}));
    EXPECT_EQ(seen.defaultButton, "Install");
    EXPECT_EQ(seen.escapeButton, "Cancel");
    EXPECT_TRUE(seen.onTop);
    EXPECT_TRUE(seen.modal);
    EXPECT_EQ(seen.icon, QMessageBox::Warning) << "the default icon without a custom one";
}

TEST(MessageBoxModal, WithoutButtonsShowsOneOKThatGivesZero)
{
    KUI::MessageBox box;
    box.setMessageText("Done.");
    Answer answer("OK");
    EXPECT_EQ(box.runModal(), 0);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->buttons, std::vector<std::string>{"OK"});
}

TEST(MessageBoxModal, TheSameBoxCanRunAgainAndTheDefaultOKGivesWayToAddedButtons)
{
    KUI::MessageBox box;
    {
        Answer answer("OK");
        EXPECT_EQ(box.runModal(), 0);
    }
    EXPECT_EQ(box.addButton("First"), 0);
    EXPECT_EQ(box.addButton("Second"), 1);
    Answer answer("Second");
    EXPECT_EQ(box.runModal(), 1);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->buttons, (std::vector<std::string>{"First", "Second"}));
}

struct IconCase {
    const char *name;
    std::string source;   // "icns", "missing", "broken", or a name to use as is
    bool custom;
};

const IconCase kIcons[] = {
    {"AppIconIcns", "icns", true},
    {"MissingFile", "missing", false},
    {"BrokenFile", "broken", false},
    {"UnknownThemeName", "no-such-icon-name-anywhere", false},
    {"Empty", "", false},
};

class MessageBoxIcon : public testing::TestWithParam<IconCase> {};

TEST_P(MessageBoxIcon, FileOrThemeNameElseTheDefault)
{
    TestSupport::TempDir dir;
    std::string source = GetParam().source;
    if (source == "icns") {
        source = TESSARON_APP_ICON;
    } else if (source == "missing") {
        source = dir / "AppIcon.icns";
    } else if (source == "broken") {
        source = dir / "AppIcon.icns";
        std::ofstream(source, std::ios::binary) << "icns but not really";
    }
    KUI::MessageBox box;
    box.setMessageText("Icon");
    box.setIcon(source);
    Answer answer("OK");
    EXPECT_EQ(box.runModal(), 0);
    ASSERT_TRUE(answer.seen);
    if (GetParam().custom) {
        EXPECT_EQ(answer.seen->icon, QMessageBox::NoIcon);
        EXPECT_EQ(answer.seen->pixmapSize, QSize(64, 64));
    } else {
        EXPECT_EQ(answer.seen->icon, QMessageBox::Warning);
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, MessageBoxIcon, testing::ValuesIn(kIcons),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MessageBoxAsync, AppearsLaterInANestedLoopWhereTimersAndSocketsKeepFiring)
{
    auto mainThread = std::this_thread::get_id();
    KUI::MessageBox box;
    box.setMessageText("Async");
    box.addButton("A");
    box.addButton("B");

    int ticks = 0;
    KCore::Timer timer(0.01, true, [&] { ++ticks; });
    Socketpair pair;
    int socketReads = 0;
    QSocketNotifier notifier(pair.fds[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[16];
        while (::read(pair.fds[0], buffer, sizeof buffer) > 0) {
        }
        ++socketReads;
    });

    std::optional<int> result;
    bool resultOnMainThread = false;
    bool showReturned = false;
    box.show([&](int code) {
        result = code;
        resultOnMainThread = std::this_thread::get_id() == mainThread;
    });
    showReturned = true;
    EXPECT_EQ(visibleAlert(), nullptr) << "show must not show before returning";

    // While the alert is up: wait for timer ticks and a socket notification,
    // then press "B".
    int ticksAtShow = -1;
    int ticksWhileUp = 0;
    int readsWhileUp = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox *alert = visibleAlert();
        if (!alert)
            return;
        if (ticksAtShow < 0) {
            ticksAtShow = ticks;
            readsWhileUp = socketReads;
            [[maybe_unused]] ssize_t n = ::write(pair.fds[1], "x", 1);
            return;
        }
        if (ticks - ticksAtShow >= 3 && socketReads > readsWhileUp) {
            ticksWhileUp = ticks - ticksAtShow;
            readsWhileUp = socketReads - readsWhileUp;
            watch.stop();
            buttonWithText(alert, "B")->click();
        }
    });
    watch.start(5);
    ASSERT_TRUE(runLoopUntil([&] { return result.has_value(); }, 5s));
    EXPECT_TRUE(showReturned);
    EXPECT_EQ(*result, 1);
    EXPECT_TRUE(resultOnMainThread);
    EXPECT_GE(ticksWhileUp, 3);
    EXPECT_GE(readsWhileUp, 1);
    EXPECT_LE(KUI::alertGeneration(), 0) << "idle once the result is delivered";
}

TEST(MessageBoxAsync, CloseWhileUpDismissesWithoutTheCompletionAndTheBoxStartsOver)
{
    KUI::MessageBox box;
    box.setTitle("First");
    int completions = 0;
    box.show([&](int) { ++completions; });
    bool wasVisible = false;
    bool closed = false;
    OnAlert closeIt([&](QMessageBox *) {
        wasVisible = box.isVisible();
        box.close();
        closed = true;
    });
    ASSERT_TRUE(runLoopUntil([&] { return closed && visibleAlert() == nullptr; }, 5s));
    runLoopFor(50ms);
    EXPECT_TRUE(wasVisible);
    EXPECT_EQ(completions, 0);
    EXPECT_FALSE(box.isVisible());

    std::optional<int> again;
    box.show([&](int code) { again = code; });
    Answer answer("OK");
    ASSERT_TRUE(runLoopUntil([&] { return again.has_value(); }, 5s));
    EXPECT_EQ(*again, 0);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->title, "") << "a closed box starts with a fresh alert";
    EXPECT_EQ(completions, 0);
}

TEST(MessageBoxAsync, DestroyingTheBoxWhileUpDismissesItWithoutTheCompletion)
{
    auto box = std::make_shared<KUI::MessageBox>();
    box->setMessageText("Going away");
    int completions = 0;
    box->show([&](int) { ++completions; });
    OnAlert destroyIt([&](QMessageBox *) { box.reset(); });
    ASSERT_TRUE(runLoopUntil([&] { return !box && visibleAlert() == nullptr; }, 5s));
    runLoopFor(50ms);
    EXPECT_EQ(completions, 0);
}

TEST(MessageBoxAsync, ASecondShowBeforeTheFirstAppearsIsTheOnlyOneShown)
{
    KUI::MessageBox first;
    first.setTitle("first");
    KUI::MessageBox second;
    second.setTitle("second");
    std::vector<std::string> results;
    first.show([&](int) { results.push_back("first"); });
    second.show([&](int) { results.push_back("second"); });
    Answer answer("OK");
    ASSERT_TRUE(runLoopUntil([&] { return !results.empty(); }, 5s));
    runLoopFor(50ms);
    EXPECT_EQ(results, std::vector<std::string>{"second"});
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->title, "second");
    EXPECT_EQ(visibleAlert(), nullptr);
}

struct StyleCase {
    const char *name;
    int style;
    QMessageBox::Icon icon;
};

const StyleCase kStyles[] = {
    {"Informational", KUI::MessageBox::Informational, QMessageBox::Information},
    {"Warning", KUI::MessageBox::Warning, QMessageBox::Warning},
    {"Critical", KUI::MessageBox::Critical, QMessageBox::Critical},
    {"UnknownKeepsTheDefault", 3, QMessageBox::Warning},
    {"NegativeKeepsTheDefault", -1, QMessageBox::Warning},
};

class ShowMessageStyle : public testing::TestWithParam<StyleCase> {};

TEST_P(ShowMessageStyle, PicksTheStandardIcon)
{
    Answer answer("OK");
    EXPECT_EQ(KUI::MessageBox::showMessage("Styled", "", GetParam().style, {"OK"}), 0);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->icon, GetParam().icon);
}

INSTANTIATE_TEST_SUITE_P(Styles, ShowMessageStyle, testing::ValuesIn(kStyles),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ShowMessage, ASingleTitleKeepsTheDefaultOKAndAnEmptyInformativeStaysEmpty)
{
    Answer answer("OK");
    EXPECT_EQ(KUI::MessageBox::showMessage("Only OK", "", 0, {"Proceed"}), 0);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(answer.seen->text, "Only OK");
    EXPECT_EQ(answer.seen->informative, "");
}

TEST(ShowMessage, TwoTitlesReplaceTheDefaultAndGiveTheirIndex)
{
    Answer answer("No");
    EXPECT_EQ(KUI::MessageBox::showMessage("Really?", "It cannot be undone.", 2, {"Yes", "No"}), 1);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->buttons, (std::vector<std::string>{"Yes", "No"}));
    EXPECT_EQ(answer.seen->informative, "It cannot be undone.");
    EXPECT_EQ(answer.seen->icon, QMessageBox::Critical);
}

} // namespace
