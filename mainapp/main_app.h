#pragma once

#include "mainapp/options.h"

#include <memory>
#include <string>

// The stand-in main app: it listens on the link socket in the group
// container, serves one helper connection at a time as the handshake's
// answering side, and runs its command script against the helper. Every
// event goes to stdout as one line; complaints go to stderr.
namespace StandIn {

struct MainAppConfig {
    std::string identifier;       // the main app's bundle identifier; also the secret's prefix
    std::string name;             // names the socket file
    std::string helperExecutable; // relative to the container's "Application Support"
    Options options;
};

class MainApp {
public:
    explicit MainApp(MainAppConfig config);
    ~MainApp();
    MainApp(const MainApp &) = delete;
    MainApp &operator=(const MainApp &) = delete;

    // Creates the folders and the socket, then serves until `exit`, the end
    // of the first connection with --once, SIGTERM or SIGINT. Returns the
    // exit status: 0 after any of those, 2 when setting up failed, 1 when
    // the loop itself failed. Once per process: it owns the signal handlers.
    int run();

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

} // namespace StandIn
