// A small program around KCore::App whose behaviour the process tests
// watch from outside: exit status, output order, signals.
// Usage: app_harness threads|early-sigterm|wait|loop-exit|leak [url...]
#include "core/app.h"
#include "tests/support/fake_platform.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

void say(const std::string &text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Memory dropped inside a callback of the loop, for the leak checker to find.
void *volatile kept;
[[gnu::noinline]] void leakOnTheLoop()
{
    kept = std::malloc(4096);
    kept = nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const std::string scenario = argv[1];
    // The scenario is ours; the App sees only the arguments after it.
    std::vector<char *> rest = {argv[0]};
    rest.insert(rest.end(), argv + 2, argv + argc + 1);
    int restCount = argc - 1;
    TestSupport::FakePlatform host;
    KCore::App app(restCount, rest.data(), host);
    app.setOnWillTerminate([] { say("will-terminate"); });
    app.setUrlCallback([](const std::string &scheme, const std::string &host, const std::string &path,
                           const std::map<std::string, std::string> &query) {
        std::string line = "url " + scheme + "|" + host + "|" + path + "|";
        for (const auto &[key, value] : query)
            line += key + "=" + value + ";";
        say(line);
    });
    // Before the loop runs: served once it does.
    if (scenario == "early-sigterm") {
        std::raise(SIGTERM);
        say("raised");
    }
    app.setOnLaunched([scenario] {
        say("launched");
        // quit() only posts: the caller goes on, the terminate comes later, once.
        if (scenario == "threads")
            std::thread([] {
                KCore::App::postToMainThread([] {
                    say("posted");
                    KCore::App::quit();
                    KCore::App::quit();
                    say("after-quit");
                });
            }).detach();
        // The loop stopping without a terminate request returns to main.
        if (scenario == "loop-exit")
            QCoreApplication::exit(0);
        if (scenario == "leak") {
            leakOnTheLoop();
            KCore::App::quit();
        }
    });
    app.run();
    say("run-returned");
    return 3;
}
