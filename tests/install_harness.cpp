// The installation flow in a process of its own: its answer ends the
// process, so the tests watch this program's output and status.
// Usage: install_harness flow <helper bundle> <applications folder>
//        install_harness launch-and-exit <bundle>
// HOME comes from the environment. Every alert is answered with its first
// button; launches are printed, then started for real.
#include "core/app.h"
#include "install/installer.h"
#include "platform/linux/launcher.h"
#include "ui/message_box.h"
#include "tests/accessibility_test_seam.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <string>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

struct InstallSeam : AccessibilityTest::FakeSeam {
    std::string applications;

    std::string applicationsFolder() override { return applications; }
    void launchApplication(const std::string &path, bool activates, bool createsNewInstance) override
    {
        say("launch " + path + " activates=" + std::to_string(activates) + " new="
            + std::to_string(createsNewInstance));
        Linux::launchApplicationNow(path, activates, createsNewInstance);
    }
};

void answerAlerts()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            // A custom image replaces the standard icon.
            say("alert " + box->windowTitle().toStdString() + " | " + box->text().toStdString() + " | "
                + box->informativeText().toStdString() + " | " + std::to_string(box->buttons().size()) + " | "
                + (box->icon() == QMessageBox::NoIcon ? "custom" : "default"));
            box->buttons().first()->click();
            return;
        }
    });
    poll->start(10);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "launch-and-exit") {
        Linux::launchApplicationNow(argv[2], true, false);
        say("waited=" + std::to_string(Linux::waitForPendingLaunches(10s)));
        ::_exit(0);
    }
    if (argc != 4 || std::string(argv[1]) != "flow")
        return 2;
    int qtArgc = 1;
    KCore::App app(qtArgc, argv);
    InstallSeam seam;
    seam.executable = std::string(argv[2]) + "/Contents/MacOS/tessaron-helper";
    seam.applications = argv[3];
    Platform::ScopedSeam scoped(seam);
    // Where the helper's teardown waits for its launches.
    app.setOnWillTerminate([] {
        say("will-terminate");
        Linux::waitForPendingLaunches(10s);
    });

    std::shared_ptr<KUI::MessageBox> box;
    answerAlerts();
    app.setOnLaunched([&box] {
        bool inPlace = install(box);
        say(std::string("install=") + (inPlace ? "true" : "false") + (box ? " box" : ""));
        // In place the wiring would go on to the link; here that is the end.
        if (inPlace)
            KCore::App::quit();
    });
    app.run();
    say("run-returned");
    return 3;
}
