#pragma once

#include <string>
#include <sys/types.h>

namespace StandIn {

// The helper that --launch-helper starts: in a session of its own, stdin
// from /dev/null and its output on our stderr, since our stdout carries
// events.
class HelperProcess {
public:
    // Prints "helper-launched <pid>", or complains.
    void launch(const std::string &path);
    // After a SIGCHLD: prints "helper-exited <status>" once it has ended,
    // 128 + the number of a signal that ended it.
    void reap();

private:
    pid_t pid = -1;
};

} // namespace StandIn
