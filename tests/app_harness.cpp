// A small program around KCore::App whose behaviour the process tests
// watch from outside: exit status, output order, signals.
#include "core/app.h"

#include <QCoreApplication>

#include <csignal>
#include <map>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void say(const char *text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    std::string scenario = argv[1];
    // The scenario is ours; the App sees only the arguments after it.
    std::vector<char *> rest = {argv[0]};
    rest.insert(rest.end(), argv + 2, argv + argc);
    rest.push_back(nullptr);
    int restCount = argc - 1;
    KCore::App app(restCount, rest.data());
    app.setOnWillTerminate([] { say("will-terminate"); });
    app.setUrlCallback([](const std::string &scheme, const std::string &host, const std::string &path,
                          const std::map<std::string, std::string> &query) {
        std::printf("url %s|%s|%s|", scheme.c_str(), host.c_str(), path.c_str());
        for (const auto &[key, value] : query)
            std::printf("%s=%s;", key.c_str(), value.c_str());
        std::printf("\n");
        std::fflush(stdout);
    });

    if (scenario == "quit-twice") {
        app.setOnLaunched([] {
            say("launched");
            KCore::App::quit();
            KCore::App::quit();
            say("after-quit");
        });
    } else if (scenario == "early-sigterm") {
        // Before the loop runs: served once it does.
        std::raise(SIGTERM);
        say("raised");
        app.setOnLaunched([] { say("launched"); });
    } else if (scenario == "wait") {
        app.setOnLaunched([] { say("launched"); });
    } else if (scenario == "post-from-thread") {
        app.setOnLaunched([] {
            std::thread([] {
                KCore::App::postToMainThread([] {
                    say("posted");
                    KCore::App::quit();
                });
            }).detach();
        });
    } else if (scenario == "loop-exit") {
        // The loop stopping without a terminate request returns to main.
        app.setOnLaunched([] { QCoreApplication::exit(0); });
        app.run();
        say("run-returned");
        return 3;
    } else {
        return 2;
    }
    app.run();
    say("run-returned");
    return 3;
}
