#pragma once

#include <spawn.h>
#include <string>

namespace StandIn {

// SIGTERM and SIGINT end the stand-in and SIGCHLD has the launched helper
// reaped: they are blocked and read from a descriptor that the loop polls.
// SIGPIPE is ignored, so that a closed stdout gives EPIPE rather than end
// the link. No handler runs, so no call is cut short by EINTR. They stay so
// until the process ends: a late SIGTERM must not kill it on its way out.
class Signals {
public:
    enum Received { Stop = 1, ChildExited = 2 };

    Signals() = default;
    ~Signals();
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;

    bool install(std::string *error);
    int fd() const { return signalFd; }
    // The Received bits of what arrived since the last call.
    int take();

    // A child starts with none blocked and SIGPIPE at its default; returns
    // the spawn flags that this needs.
    static short resetForChild(posix_spawnattr_t *attributes);

private:
    int signalFd = -1;
};

} // namespace StandIn
