#pragma once

#include "mainapp/command_script.h"
#include "mainapp/connection.h"
#include "mainapp/events.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace StandIn {

// Runs the commands, the -c scripts' first and then stdin's, one after
// another against the link. A command waits for what it needs: a ready
// link, the end of a wait, its rate's next beat, room in the socket.
class ScriptRunner {
public:
    // Queues the -c scripts, and reads stdin after them unless it is a
    // terminal. A bad command is reported with its place and skipped.
    void begin(const std::vector<std::string> &scripts);
    // Whether to poll stdin: it is open, the queue has room and no `exit` ran.
    bool wantsStdin() const { return stdinOpen && !exitRequested && queue.size() < kMaxQueued; }
    void readStdin(short pollEvents);

    // Runs what can run now; `link` is null while no helper is connected.
    void advance(Connection *link, Clock::time_point now);
    // The link is going: a move command cut short reports what reached the socket.
    void linkLost(const Connection &link);
    // When advance() has work again without a socket event.
    std::optional<Clock::time_point> nextWake(const Connection *link, Clock::time_point now) const;
    // `exit` ran: the link closes and the program ends.
    bool exiting() const { return exitRequested; }

private:
    // stdin is not read while this many commands wait for a helper.
    static constexpr std::size_t kMaxQueued = 1024;
    struct Queued {
        Command command;
        std::string origin; // names it in complaints: "-c command 2", "stdin line 7"
    };
    // The move command being sent.
    struct Moves {
        Command command;
        std::uint32_t next = 0;
        std::uint64_t firstByte = 0; // the link's queued bytes before its first frame
        std::uint64_t endByte = 0;   // and after its last frame so far
    };

    void add(std::string_view text, std::string origin);
    void start(const Queued &next, Connection *link, Clock::time_point now);
    bool pumpMoves(Connection &link, Clock::time_point now);
    Clock::duration movePeriod() const;

    std::deque<Queued> queue;
    std::optional<Moves> active;
    std::optional<Clock::time_point> waitUntil;
    double rate = 0;
    std::optional<Clock::time_point> lastMoveDue;
    bool exitRequested = false;
    bool stdinOpen = false;
    LineReader stdinLines;
};

} // namespace StandIn
