#pragma once

#include "mainapp/events.h"

#include <string>
#include <sys/types.h>

namespace StandIn {

// The socket the helper connects to. A socket file that nobody listens on
// any more is what a crash leaves, and is replaced; one that somebody still
// listens on is left alone. On the way out the file goes, if still ours.
class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // False with the reason when the socket cannot be made at `path`.
    bool listen(const std::string &path, std::string *error);
    int fd() const { return listenFd; }
    // A waiting connection, non-blocking; -1 when there is none. A failure
    // (out of descriptors, say) is reported and pauses accepting for a while.
    int accept(Clock::time_point now);
    Clock::time_point pausedUntil() const { return paused; }

private:
    std::string path;
    int listenFd = -1;
    bool ownsFile = false;
    dev_t device = 0;
    ino_t inode = 0;
    Clock::time_point paused;
};

} // namespace StandIn
