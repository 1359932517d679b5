#pragma once

#include "mainapp/connection.h"
#include "mainapp/helper_process.h"
#include "mainapp/listener.h"
#include "mainapp/options.h"
#include "mainapp/script_runner.h"
#include "mainapp/signals.h"

#include <optional>
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

// Owns the parts and runs the loop between them.
class MainApp {
public:
    explicit MainApp(MainAppConfig config) : config(std::move(config)) {}

    // Creates the folders and the socket, then serves until `exit`, the end
    // of the first connection with --once, SIGTERM or SIGINT. Returns the
    // exit status: 0 after any of those, 2 when setting up failed, 1 when
    // the loop itself failed. Once per process: it owns the signal handlers
    // until it goes, and the socket file goes with it.
    int run();

private:
    int serve();
    void accept(Clock::time_point now);
    int pollTimeout(Clock::time_point now);
    Connection *linkOrNull() { return link ? &*link : nullptr; }

    MainAppConfig config;
    // In the order of setting up; they go in reverse.
    Signals signals;
    Listener listener;
    HelperProcess helper;
    ScriptRunner script;
    std::optional<Connection> link;
    bool linkEnded = false;
};

} // namespace StandIn
