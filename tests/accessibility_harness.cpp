// The permission watcher's quitting paths in a process of their own: a quit
// ends the process, so the tests watch this program's output and status.
// Usage: accessibility_harness <scenario> <bundle> [major minor]
// It answers every alert with its first button and prints what it saw.
#include "accessibility/accessibility_dialog.h"
#include "accessibility/accessibility_manager.h"
#include "app/app.h"
#include "install/message_box.h"
#include "tests/accessibility_test_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string escaped(const QString &text)
{
    std::string out;
    for (char c : text.toStdString())
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

const char *iconName(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Information:
        return "information";
    case QMessageBox::Warning:
        return "warning";
    case QMessageBox::Critical:
        return "critical";
    case QMessageBox::Question:
        return "question";
    case QMessageBox::NoIcon:
        break;
    }
    return "none";
}

// Reports alerts and guidance windows as they appear; presses each alert's
// first button and, when asked, closes the window as a user would.
void watch(bool closeWindow)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [closeWindow] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible())
                continue;
            if (auto *box = qobject_cast<QMessageBox *>(widget)) {
                say("alert title=" + escaped(box->windowTitle()));
                say("alert text=" + escaped(box->text()));
                say("alert informative=" + escaped(box->informativeText()));
                std::string buttons;
                for (QAbstractButton *button : box->buttons())
                    buttons += (buttons.empty() ? "" : ",") + button->text().toStdString();
                say("alert buttons=" + buttons);
                say(std::string("alert icon=") + iconName(box->icon()));
                box->buttons().first()->click();
                return;
            }
            if (widget->objectName() == QLatin1String("AccessibilityWindow") && widget->property("seen").isNull()) {
                widget->setProperty("seen", true);
                say("window-open");
                if (closeWindow)
                    widget->close();
            }
        }
    });
    poll->start(10);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    std::string scenario = argv[1];
    std::string bundle = argv[2];
    int qtArgc = 1;
    KCore::App app(qtArgc, argv);
    app.setOnWillTerminate([] { say("will-terminate"); });

    AccessibilityTest::FakeSeam seam;
    seam.executable = bundle + "/Contents/MacOS/tessaron-helper";
    if (argc >= 5)
        seam.version = {std::atoll(argv[3]), std::atoll(argv[4]), 0};
    Platform::ScopedSeam scoped(seam);

    std::shared_ptr<KSystem::AccessibilityManager> manager;
    std::shared_ptr<KUI::AccessibilityDialog> dialog;

    if (scenario == "manager-limited") {
        // Trusted, the probe fails: on an old system that is the end.
        seam.trusted = true;
        seam.probe = false;
        watch(false);
        app.setOnLaunched([&] {
            manager = std::make_shared<KSystem::AccessibilityManager>();
            manager->setGrantedCallback([] { say("granted"); });
            manager->setDeniedCallback([] { say("denied"); });
            manager->start();
            say("state " + std::to_string(static_cast<int>(manager->state())));
        });
    } else if (scenario == "dialog-limited") {
        // The window's poll stops the helper on any version.
        seam.trusted = true;
        seam.probe = false;
        watch(false);
        app.setOnLaunched([&] {
            dialog = std::make_shared<KUI::AccessibilityDialog>();
            dialog->setGrantedCallback([] { say("granted"); });
            dialog->show();
        });
    } else if (scenario == "limitation-twice") {
        watch(false);
        app.setOnLaunched([] {
            KSystem::showSystemLimitationAndQuit();
            say("first-returned");
            KSystem::showSystemLimitationAndQuit();
            say("second-returned");
        });
    } else if (scenario == "user-closes-window") {
        watch(true);
        app.setOnLaunched([&] {
            manager = std::make_shared<KSystem::AccessibilityManager>();
            manager->setGrantedCallback([] { say("granted"); });
            manager->setDeniedCallback([] { say("denied"); });
            manager->start();
        });
    } else if (scenario == "screenshots") {
        // Renders the limitation alert and the window to PNGs next to the bundle.
        app.setOnLaunched([&] {
            dialog = std::make_shared<KUI::AccessibilityDialog>();
            dialog->show();
            dialog->window()->grab().save(QString::fromStdString(bundle + "/../window.png"));
            auto *poll = new QTimer(qApp);
            QObject::connect(poll, &QTimer::timeout, [&] {
                for (QWidget *widget : QApplication::topLevelWidgets()) {
                    if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible()) {
                        box->grab().save(QString::fromStdString(bundle + "/../alert.png"));
                        box->buttons().first()->click();
                    }
                }
            });
            poll->start(50);
            KSystem::showSystemLimitationAndQuit();
        });
    } else {
        return 2;
    }
    app.run();
    say("run-returned");
    return 3;
}
