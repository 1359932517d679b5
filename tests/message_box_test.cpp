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
#include <QTimer>

#include <optional>
#include <thread>

using namespace std::chrono_literals;
using TestSupport::runLoopUntil;
using Seen = std::map<std::string, std::string>;

namespace {

QMessageBox *visibleAlert()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

// What the user saw, by name. A custom image has no standard icon: its size then.
Seen look(QMessageBox *box)
{
    const auto text = [](QAbstractButton *button) { return button ? button->text().toStdString() : "-"; };
    std::string buttons, bold = "no";
    for (QAbstractButton *button : box->buttons())
        buttons += (buttons.empty() ? "" : ",") + text(button);
    for (QLabel *label : box->findChildren<QLabel *>())
        if (label->text() == box->text() && label->font().bold())
            bold = "yes";
    const QSize pixmap = box->iconPixmap().size();
    return {{"title", box->windowTitle().toStdString()}, {"text", box->text().toStdString()},
        {"informative", box->informativeText().toStdString()}, {"buttons", buttons},
        {"default", text(box->defaultButton())}, {"escape", text(box->escapeButton())},
        {"icon", box->icon() != QMessageBox::NoIcon ? std::to_string(box->icon())
                                                    : "image " + std::to_string(pixmap.width()) + "x"
                     + std::to_string(pixmap.height())},
        {"bold", bold}, {"plain", box->textFormat() == Qt::PlainText ? "yes" : "no"},
        {"onTop", box->windowFlags().testFlag(Qt::WindowStaysOnTopHint) ? "yes" : "no"},
        {"modal", box->isModal() ? "yes" : "no"}};
}

// Looks at the next alert, from inside its own loop, and presses the button
// with the given text; without one the alert is closed unanswered.
struct Answer {
    explicit Answer(const std::string &press)
    {
        QObject::connect(&poll, &QTimer::timeout, [this, press] {
            QMessageBox *box = visibleAlert();
            if (!box)
                return;
            poll.stop();
            seen = look(box);
            for (QAbstractButton *button : box->buttons())
                if (button->text().toStdString() == press)
                    return button->click();
            box->done(0);
        });
        poll.start(5);
    }

    std::optional<Seen> seen;
    QTimer poll;
};

TEST(MessageBox, ShowsWhatWasSetAndGivesTheIndexOfThePressedButton)
{
    KUI::MessageBox box;
    {
        // Without buttons: one OK, which gives way to buttons added later.
        Answer answer("OK");
        EXPECT_EQ(box.runModal(), 0);
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(answer.seen->at("buttons"), "OK");
    }
    box.setTitle("Tessaron Helper");
    box.setMessageText("Line one\n\n<b>not markup</b>");
    box.setInformativeText("Details follow.");
    EXPECT_EQ(box.addButton("Install"), 0);
    EXPECT_EQ(box.addButton("Cancel"), 1);
    EXPECT_EQ(box.addButton("Later"), 2);
    Answer answer("Later");
    EXPECT_EQ(box.runModal(), 2);
    ASSERT_TRUE(answer.seen);
    // Markup reads as written; without a custom icon, the default (Warning) one.
    EXPECT_EQ(*answer.seen, (Seen{{"title", "Tessaron Helper"}, {"text", "Line one\n\n<b>not markup</b>"},
                                {"informative", "Details follow."}, {"buttons", "Install,Cancel,Later"},
                                {"default", "Install"}, {"escape", "Cancel"}, {"icon", "2"}, {"bold", "yes"},
                                {"plain", "yes"}, {"onTop", "yes"}, {"modal", "yes"}}));
    Answer unanswered("");
    EXPECT_EQ(box.runModal(), KUI::kAbortResponse - KUI::kFirstButtonResponse);
}

// A file, a missing one, a broken one, a theme name nobody has, nothing:
// only the image replaces the default icon.
TEST(MessageBox, AnImageFileOrThemeNameElseTheDefaultIcon)
{
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "broken.icns", "icns but not really");
    for (const std::string &source : {std::string(TESSARON_APP_ICON), dir / "missing.icns", dir / "broken.icns",
             std::string("no-such-icon-name-anywhere"), std::string()}) {
        KUI::MessageBox box;
        box.setIcon(source);
        Answer answer("OK");
        EXPECT_EQ(box.runModal(), 0);
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(answer.seen->at("icon"), source == TESSARON_APP_ICON ? "image 64x64" : "2") << source;
    }
}

TEST(MessageBox, ShowAppearsLaterInANestedLoopAndACloseDismissesWithoutTheCompletion)
{
    const auto mainThread = std::this_thread::get_id();
    auto box = std::make_shared<KUI::MessageBox>();
    box->setTitle("First");
    box->addButton("A");
    box->addButton("B");
    int ticks = 0, ticksAtShow = -1;
    KCore::Timer timer(0.01, true, [&] { ++ticks; });
    std::optional<int> result;
    bool onMainThread = false;
    box->show([&](int code) {
        result = code;
        onMainThread = std::this_thread::get_id() == mainThread;
    });
    EXPECT_EQ(visibleAlert(), nullptr) << "show must not show before returning";
    // "B" is pressed only after three more ticks, so they must run in the alert's loop.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (QMessageBox *alert = visibleAlert(); alert && ticksAtShow < 0)
            ticksAtShow = ticks;
        else if (alert && ticks - ticksAtShow >= 3)
            alert->buttons().at(1)->click();
    });
    watch.start(5);
    ASSERT_TRUE(runLoopUntil([&] { return result.has_value(); }, 5s));
    watch.stop();
    EXPECT_EQ(*result, 1);
    EXPECT_TRUE(onMainThread);
    EXPECT_LE(KUI::alertGeneration(), 0) << "idle once the result is delivered";

    // Closed while up: no completion, and the box starts over with a fresh alert.
    int completions = 0;
    box->show([&](int) { ++completions; });
    // From inside the alert's loop: one waiting outside resumes only once it is gone.
    QObject::disconnect(&watch, nullptr, nullptr, nullptr);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (box->isVisible())
            watch.stop(), box->close();
    });
    watch.start(5);
    ASSERT_TRUE(runLoopUntil([&] { return !watch.isActive() && visibleAlert() == nullptr; }, 5s));
    TestSupport::runLoopFor(50ms);
    EXPECT_EQ(completions, 0);
    Answer answer("OK");
    box->show([&](int code) { result = code; });
    ASSERT_TRUE(runLoopUntil([&] { return answer.seen.has_value(); }, 5s));
    EXPECT_EQ(*result, 0);
    EXPECT_EQ(answer.seen->at("title"), "");
    EXPECT_EQ(completions, 0);
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
            {-1, "", {"OK"}, "OK", QMessageBox::Warning, "OK", 0},
        };
    for (const auto &[style, informative, titles, press, icon, buttons, code] : cases) {
        Answer answer(press);
        EXPECT_EQ(KUI::MessageBox::showMessage("Really?", informative, style, titles), code) << style;
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(*answer.seen, (Seen{{"title", ""}, {"text", "Really?"}, {"informative", informative},
                                    {"buttons", buttons}, {"default", buttons.substr(0, buttons.find(','))},
                                    {"escape", "-"}, {"icon", std::to_string(icon)}, {"bold", "yes"},
                                    {"plain", "yes"}, {"onTop", "yes"}, {"modal", "yes"}}))
            << style;
    }
}

} // namespace
