// The helper's real parts in a process of their own, on the fake platform:
// what the platform is asked to do is printed, and every alert is printed
// and answered with its first button.
// Usage: helper_harness helper <os version>  the whole helper; its bundle
//            lies in place under HOME, the main app in HOME/Applications, and
//            it is trusted while the file TESSARON_TRUST_FILE names exists
//        helper_harness flow <helper bundle> <applications folder>
//            the installation check and its alert
#include "app/helper_main.h"
#include "core/app.h"
#include "install/installer.h"
#include "platform/linux/launcher.h"
#include "ui/message_box.h"
#include "tests/support/fake_platform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

struct PrintingPlatform : TestSupport::FakePlatform {
    void record(const std::string &call) override { say(call); }
    bool isAccessibilityTrusted() override
    {
        const char *file = std::getenv("TESSARON_TRUST_FILE");
        return file ? ::access(file, F_OK) == 0 : trusted;
    }
    // Launches happen for real, after they are printed.
    void launchApplication(const std::string &path, bool activates, bool createsNewInstance) override
    {
        FakePlatform::launchApplication(path, activates, createsNewInstance);
        Linux::launchApplicationNow(path, activates, createsNewInstance);
    }
};

// Runs as soon as the application object exists. A custom image replaces the standard icon.
void answerAlerts()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            say("alert " + box->windowTitle().toStdString() + " | " + box->text().toStdString() + " | "
                + box->informativeText().toStdString() + " | " + std::to_string(box->buttons().size()) + " | "
                + (box->icon() == QMessageBox::NoIcon ? "custom" : "default"));
            return box->buttons().first()->click();
        }
    });
    poll->start(10);
}

Q_COREAPP_STARTUP_FUNCTION(answerAlerts)

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc == 3 || argc == 4 ? argv[1] : "";
    PrintingPlatform platform;
    platform.uid = ::getuid();
    if (mode == "helper") {
        const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
        platform.executable = home + "/Library/Containers/pro.tessaron/Data/Library/Application Support/"
                                     "Tessaron Helper.app/Contents/MacOS/tessaron-helper";
        platform.applications = home + "/Applications";
        auto &v = platform.version;
        if (std::sscanf(argv[2], "%ld.%ld.%ld", &v.major, &v.minor, &v.patch) != 3)
            return 2;
        char *rest[] = {argv[0], nullptr};
        return helperMain(1, rest, platform, platform);
    }
    if (mode != "flow")
        return 2;
    platform.executable = std::string(argv[2]) + "/Contents/MacOS/tessaron-helper";
    platform.applications = argv[3];
    int qtArgc = 1;
    KCore::App app(qtArgc, argv, platform);
    // Where the helper's teardown waits for its launches.
    app.setOnWillTerminate([] {
        say("will-terminate");
        Linux::waitForPendingLaunches(10s);
    });
    std::shared_ptr<KUI::MessageBox> box;
    app.setOnLaunched([&box] {
        bool inPlace = install(box);
        say(std::string("install=") + (inPlace ? "true" : "false") + (box ? " box" : ""));
        // In place the wiring would go on to the link; here that is the end.
        if (inPlace)
            KCore::App::quit();
    });
    app.run();
    return 3;
}
