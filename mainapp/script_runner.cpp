#include "mainapp/script_runner.h"

#include "mainapp/messages.h"
#include "network/frame_parser.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace StandIn {

namespace {

// Moves are made only while less than this waits, so "as fast as the socket
// takes them" never means "as fast as memory fills".
constexpr std::size_t kMoveWatermark = 64 * 1024;
constexpr std::size_t kMoveFrameSize = kMovePointerSize + KNetwork::kFrameOverhead;
// So the link never refuses a move.
static_assert(kMoveWatermark + kMoveFrameSize <= kMaxOutgoing);

} // namespace

void ScriptRunner::begin(const std::vector<std::string> &scripts)
{
    for (const std::string &script : scripts) {
        std::vector<std::string_view> pieces = splitScript(script);
        for (std::size_t i = 0; i < pieces.size(); ++i)
            add(pieces[i], "-c command " + std::to_string(i + 1));
    }
    stdinOpen = ::isatty(STDIN_FILENO) == 0 && errno != EBADF;
}

void ScriptRunner::add(std::string_view text, std::string origin)
{
    ParseResult parsed = parseCommand(text);
    if (parsed.status == ParseResult::Status::Error)
        complain(origin + ": " + parsed.error + "; skipped");
    else if (parsed.status == ParseResult::Status::Command)
        queue.push_back({std::move(parsed.command), std::move(origin)});
}

void ScriptRunner::readStdin(short pollEvents)
{
    if (pollEvents & POLLNVAL) {
        stdinOpen = false;
        return;
    }
    char buffer[64 * 1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    std::vector<LineReader::Line> lines;
    if (n > 0) {
        stdinLines.feed(buffer, static_cast<std::size_t>(n), &lines);
    } else {
        if (n < 0)
            complain(systemError("cannot read stdin", errno));
        stdinLines.finish(&lines);
        stdinOpen = false;
    }
    for (LineReader::Line &line : lines) {
        const std::string origin = "stdin line " + std::to_string(line.number);
        if (line.tooLong)
            complain(origin + ": longer than " + std::to_string(kMaxLineLength) + " bytes, skipped");
        else
            add(line.text, origin);
    }
}

void ScriptRunner::advance(Connection *link, Clock::time_point now)
{
    while (!exitRequested) {
        const bool linkReady = link && link->ready();
        if (active) {
            if (!linkReady || !pumpMoves(*link, now))
                return;
            continue;
        }
        if (waitUntil) {
            if (now < *waitUntil)
                return;
            waitUntil.reset();
        }
        if (queue.empty() || (needsLink(queue.front().command) && !linkReady))
            return;
        const Queued next = std::move(queue.front());
        queue.pop_front();
        start(next, link, now);
    }
}

// Only the commands that need no link run without one.
void ScriptRunner::start(const Queued &next, Connection *link, Clock::time_point now)
{
    const Command &command = next.command;
    if (auto *rateCommand = std::get_if<RateCommand>(&command)) {
        rate = rateCommand->hz;
    } else if (auto *wait = std::get_if<WaitCommand>(&command)) {
        waitUntil = now + std::chrono::milliseconds(wait->milliseconds);
    } else if (std::holds_alternative<ExitCommand>(command) || std::holds_alternative<CloseCommand>(command)) {
        // Either lets the queued frames out first; `exit` then ends the program.
        exitRequested = std::holds_alternative<ExitCommand>(command);
        if (link)
            link->beginClosing(now);
    } else if (auto *features = std::get_if<FeaturesCommand>(&command)) {
        link->send(featuresMessage(features->codes), next.origin);
    } else if (auto *raw = std::get_if<RawCommand>(&command)) {
        link->send(raw->payload, next.origin);
    } else {
        active = Moves{command, 0, link->queued(), link->queued()};
    }
}

bool ScriptRunner::pumpMoves(Connection &link, Clock::time_point now)
{
    while (active->next < moveCount(active->command)) {
        if (link.pending() >= kMoveWatermark)
            return false;
        Clock::time_point due = now;
        if (rate > 0 && lastMoveDue) {
            const Clock::duration period = movePeriod();
            if (*lastMoveDue + period > now)
                return false;
            // On time or a little late: keep the beat. Later than a whole
            // period (a wait, a stalled socket): start a new one, no burst.
            if (now - (*lastMoveDue + period) < period)
                due = *lastMoveDue + period;
        }
        link.send(movePointerMessage(movePoint(active->command, active->next)));
        lastMoveDue = due;
        ++active->next;
        active->endByte = link.queued();
    }
    // Done once the last frame has reached the socket.
    if (link.written() < active->endByte)
        return false;
    emit("sent " + std::to_string(active->next) + " moves");
    active.reset();
    return true;
}

void ScriptRunner::linkLost(const Connection &link)
{
    if (!active)
        return;
    // What reached the socket counts; the rest went down with the link.
    const std::uint64_t written = link.written() > active->firstByte ? link.written() - active->firstByte : 0;
    emit("sent " + std::to_string(std::min<std::uint64_t>(written / kMoveFrameSize, active->next)) + " moves");
    active.reset();
}

Clock::duration ScriptRunner::movePeriod() const
{
    // Capped at a day so the conversion cannot overflow for a tiny rate.
    const double seconds = std::min(1.0 / rate, 86'400.0);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::optional<Clock::time_point> ScriptRunner::nextWake(const Connection *link, Clock::time_point now) const
{
    if (active && link && link->ready() && active->next < moveCount(active->command) && link->pending() < kMoveWatermark)
        return rate > 0 && lastMoveDue ? *lastMoveDue + movePeriod() : now;
    if (!active && waitUntil)
        return waitUntil;
    return std::nullopt;
}

} // namespace StandIn
