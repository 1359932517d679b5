// The alert panel on the real Qt loop (offscreen): buttons are pressed on the
// QMessageBox that appears, and what it shows is read back.
#include "core/timer.h"
#include "ui/alert_box.h"
#include "ui/message_box.h"
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
#include <map>
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

// What the user saw, by name.
using Seen = std::map<std::string, std::string>;

Seen look(QMessageBox *box)
{
    const auto text = [](QAbstractButton *button) { return button ? button->text().toStdString() : "-"; };
    std::string buttons, bold = "no";
    for (QAbstractButton *button : box->buttons())
        buttons += (buttons.empty() ? "" : ",") + text(button);
    for (QLabel *label : box->findChildren<QLabel *>()) {
        if (label->text() == box->text() && label->font().bold())
            bold = "yes";
    }
    // A custom image has no standard icon: its size then.
    const QSize pixmap = box->iconPixmap().size();
    const std::string icon = box->icon() != QMessageBox::NoIcon
        ? std::to_string(box->icon())
        : "image " + std::to_string(pixmap.width()) + "x" + std::to_string(pixmap.height());
    return {{"title", box->windowTitle().toStdString()}, {"text", box->text().toStdString()},
        {"informative", box->informativeText().toStdString()}, {"buttons", buttons},
        {"default", text(box->defaultButton())}, {"escape", text(box->escapeButton())},
        {"icon", icon}, {"bold", bold}, {"plain", box->textFormat() == Qt::PlainText ? "yes" : "no"},
        {"onTop", box->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? "yes" : "no"},
        {"modal", box->isModal() ? "yes" : "no"}};
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
    explicit OnAlert(std::function<void(QMessageBox *)> action)
    {
        QObject::connect(&poll, &QTimer::timeout, [this, action] {
            if (QMessageBox *box = visibleAlert()) {
                poll.stop();
                action(box);
            }
        });
        poll.start(5);
    }

private:
    QTimer poll;
};

// Looks at the next alert and presses the button with the given text.
struct Answer {
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
    OnAlert onAlert;
};

struct Socketpair {
    Socketpair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds); }
    ~Socketpair() { ::close(fds[0]), ::close(fds[1]); }
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
    // Markup reads as written; without a custom icon, the default (Warning) one.
    EXPECT_EQ(*answer.seen, (Seen{{"title", "Tessaron Helper"}, {"text", "Line one\n\n<b>not markup</b>"},
                                {"informative", "Details follow."}, {"buttons", "Install,Cancel,Later"},
                                {"default", "Install"}, {"escape", "Cancel"}, {"icon", "2"}, {"bold", "yes"},
                                {"plain", "yes"}, {"onTop", "yes"}, {"modal", "yes"}}));
}

TEST(MessageBoxModal, WithoutButtonsOneOKGivesZeroAndGivesWayToButtonsAddedLater)
{
    KUI::MessageBox box;
    {
        Answer answer("OK");
        EXPECT_EQ(box.runModal(), 0);
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(answer.seen->at("buttons"), "OK");
    }
    EXPECT_EQ(box.addButton("First"), 0);
    EXPECT_EQ(box.addButton("Second"), 1);
    Answer answer("Second");
    EXPECT_EQ(box.runModal(), 1);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->at("buttons"), "First,Second");
}

// A file, a missing one, a broken one, a theme name nobody has, nothing:
// only the image replaces the default icon.
TEST(MessageBoxIcon, AnImageFileOrThemeNameElseTheDefault)
{
    TestSupport::TempDir dir;
    std::ofstream(dir / "broken.icns", std::ios::binary) << "icns but not really";
    for (const std::string &source : {std::string(TESSARON_APP_ICON), dir / "missing.icns", dir / "broken.icns",
             std::string("no-such-icon-name-anywhere"), std::string()}) {
        KUI::MessageBox box;
        box.setIcon(source);
        Answer answer("OK");
        EXPECT_EQ(box.runModal(), 0);
        ASSERT_TRUE(answer.seen);
        const bool custom = source == TESSARON_APP_ICON;
        EXPECT_EQ(answer.seen->at("icon"), custom ? "image 64x64" : "2") << source;
    }
}

TEST(MessageBoxAsync, AppearsLaterInANestedLoopWhereTimersAndSocketsKeepFiring)
{
    const auto mainThread = std::this_thread::get_id();
    KUI::MessageBox box;
    box.addButton("A");
    box.addButton("B");
    int ticks = 0, reads = 0;
    KCore::Timer timer(0.01, true, [&] { ++ticks; });
    Socketpair pair;
    QSocketNotifier notifier(pair.fds[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buffer[16];
        while (::read(pair.fds[0], buffer, sizeof buffer) > 0) {
        }
        ++reads;
    });
    std::optional<int> result;
    bool onMainThread = false;
    box.show([&](int code) {
        result = code;
        onMainThread = std::this_thread::get_id() == mainThread;
    });
    EXPECT_EQ(visibleAlert(), nullptr) << "show must not show before returning";

    // Once the alert is up, a byte goes into the socket; "B" is pressed only
    // after three more ticks and the read, so both must run in the alert's loop.
    int ticksAtShow = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QMessageBox *alert = visibleAlert();
        if (alert && ticksAtShow < 0) {
            ticksAtShow = ticks;
            [[maybe_unused]] ssize_t n = ::write(pair.fds[1], "x", 1);
        } else if (alert && ticks - ticksAtShow >= 3 && reads > 0) {
            watch.stop();
            buttonWithText(alert, "B")->click();
        }
    });
    watch.start(5);
    ASSERT_TRUE(runLoopUntil([&] { return result.has_value(); }, 5s));
    EXPECT_EQ(*result, 1);
    EXPECT_TRUE(onMainThread);
    EXPECT_LE(KUI::alertGeneration(), 0) << "idle once the result is delivered";
}

TEST(MessageBoxAsync, CloseOrDestructionWhileUpDismissesWithoutTheCompletion)
{
    for (bool destroy : {false, true}) {
        auto box = std::make_shared<KUI::MessageBox>();
        box->setTitle("First");
        int completions = 0;
        box->show([&](int) { ++completions; });
        bool wasVisible = false;
        bool acted = false;
        OnAlert act([&](QMessageBox *) {
            wasVisible = box->isVisible();
            destroy ? box.reset() : box->close();
            acted = true;
        });
        ASSERT_TRUE(runLoopUntil([&] { return acted && visibleAlert() == nullptr; }, 5s)) << destroy;
        runLoopFor(50ms);
        EXPECT_TRUE(wasVisible);
        EXPECT_EQ(completions, 0) << destroy;
        if (destroy)
            break;
        EXPECT_FALSE(box->isVisible());
        std::optional<int> again;
        box->show([&](int code) { again = code; });
        Answer answer("OK");
        ASSERT_TRUE(runLoopUntil([&] { return again.has_value(); }, 5s));
        EXPECT_EQ(*again, 0);
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(answer.seen->at("title"), "") << "a closed box starts with a fresh alert";
        EXPECT_EQ(completions, 0);
    }
}

struct MessageCase {
    const char *name;
    int style;
    std::string informative;
    std::vector<std::string> titles;
    std::string press;
    // Expected.
    QMessageBox::Icon icon;
    std::string buttons;
    int code;
};

// A single title only repeats the default OK; two or more replace it.
const MessageCase kMessages[] = {
    {"Informational", KUI::MessageBox::Informational, "", {"Proceed"}, "OK", QMessageBox::Information, "OK", 0},
    {"Warning", KUI::MessageBox::Warning, "", {}, "OK", QMessageBox::Warning, "OK", 0},
    {"CriticalWithTwoTitles", KUI::MessageBox::Critical, "It cannot be undone.", {"Yes", "No"}, "No",
        QMessageBox::Critical, "Yes,No", 1},
    {"UnknownStyleKeepsTheDefault", 3, "", {"OK"}, "OK", QMessageBox::Warning, "OK", 0},
    {"NegativeStyleKeepsTheDefault", -1, "", {"OK"}, "OK", QMessageBox::Warning, "OK", 0},
};

class ShowMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(ShowMessage, PicksTheStandardIconAndTheButtons)
{
    const MessageCase &c = GetParam();
    Answer answer(c.press);
    EXPECT_EQ(KUI::MessageBox::showMessage("Really?", c.informative, c.style, c.titles), c.code);
    ASSERT_TRUE(answer.seen);
    EXPECT_EQ(answer.seen->at("icon"), std::to_string(c.icon));
    EXPECT_EQ(answer.seen->at("buttons"), c.buttons);
    EXPECT_EQ(answer.seen->at("text"), "Really?");
    EXPECT_EQ(answer.seen->at("informative"), c.informative);
}

INSTANTIATE_TEST_SUITE_P(Styles, ShowMessage, testing::ValuesIn(kMessages),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
