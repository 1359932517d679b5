#pragma once

#include "core/startup.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Platform {
class Host;
}

namespace KCore {

// The helper's application object: one Qt event loop, the launch and
// terminate notifications, SIGTERM, SIGINT and SIGHUP as an orderly quit,
// and work posted to the main thread. Exactly one exists per process; main
// creates it first.
class App : public std::enable_shared_from_this<App> {
public:
    // Creates the process's QApplication; argc, argv and the host must
    // outlive the App.
    App(int &argc, char **argv, Platform::Host &host);
    ~App();
    App(const App &) = delete;
    App &operator=(const App &) = delete;

    // The current application object, null when none exists.
    static App *instance();

    // The machine the process runs on.
    Platform::Host &host();

    // Runs the event loop. Returns only if the loop is stopped without a
    // terminate request; a quit ends the process with status 0 instead.
    void run();

    // Asks for the orderly end: on a later loop turn the will-terminate
    // callback runs once and the process exits with status 0. Any thread.
    static void quit();

    // Runs the callback on the main thread's loop, later. Any thread.
    static void postToMainThread(std::function<void()> callback);

    // Raised once, one loop turn after the loop starts.
    void setOnLaunched(std::function<void()> callback);
    // Raised synchronously just before the process ends on a quit.
    void setOnWillTerminate(std::function<void()> callback);
    using URLCallback = std::function<void(const std::string &scheme, const std::string &host,
        const std::string &path, const std::map<std::string, std::string> &query)>;
    // Each program argument after the program name is one URL event that the
    // desktop opened the helper with: taken apart and handed here once,
    // after launch. Unset, a URL is parsed and dropped.
    void setUrlCallback(URLCallback callback);

    // 0 regular (Dock icon shown), 1 accessory (no Dock icon). There is no
    // Dock on Linux: the policy is kept as state for the parts that read it.
    static void setActivationPolicy(int policy);
    static void setDockIconVisible(bool visible);
    static bool isDockIconVisible();

    // Bundle information, read from the bundle holding the running program
    // (Contents/Info.plist). Cached once non-empty; empty is asked again.
    const std::string &bundleName();
    const std::string &bundleShortVersion();
    const std::string &bundleVersion();
    const std::string &bundleIdentifier();
    const std::string &bundleDisplayName();

    // Opens the URL with the desktop's handler; nothing is reported.
    void openURL(const std::string &url);

    struct Impl;

private:
    static void terminate();

    std::shared_ptr<Impl> impl;
};

} // namespace KCore

// The running system's version (all 0 without an App), and the same as
// "major.minor.patch".
OSVersion osVersion();
std::string osVersionString();
