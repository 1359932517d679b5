// The alert panel on the real Qt loop (offscreen): buttons are pressed on the
// QMessageBox that appears, and what it shows is read back.
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

using namespace std::chrono_literals;
using TestSupport::runLoopUntil;

namespace {

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

    std::optional<std::string> seen;
    QTimer poll;
};

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
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "broken.icns", "icns but not really");
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
