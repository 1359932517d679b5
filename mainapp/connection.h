#pragma once

#include "mainapp/events.h"
#include "mainapp/frame_layer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace StandIn {

// A helper that stops reading cannot make us grow without end.
inline constexpr std::size_t kMaxOutgoing = 4 * 1024 * 1024;

// One helper's link: its socket, the bytes waiting either way, the frame
// layer, and what arrives printed as events. The loop decides when to read,
// write and close; this object only says what it needs.
class Connection {
public:
    // Takes `fd` over. Once the helper's handshake matches, the answer and,
    // with `sendFeatures`, a Features message go out.
    Connection(int fd, FrameLayer frames, bool sendFeatures) : socket(fd), frames(frames), sendFeatures(sendFeatures) {}
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return socket; }
    // Takes what the socket holds and prints what it carries.
    void read();
    // Writes what waits until the socket takes no more.
    void flush();
    // Frames one payload and queues it; false when too much already waits,
    // which is reported naming `origin` when there is one.
    bool send(std::span<const std::byte> payload, const std::string &origin = {});

    // Commands may use the link: the helper is verified and greeted, and the
    // link is not going.
    bool ready() const { return greeted && !closing && !broken; }
    // Closes once what waits is out, or at the time limit.
    void beginClosing(Clock::time_point now);
    // When a closing link is dropped at the latest.
    std::optional<Clock::time_point> closeBy() const { return closing ? std::optional(closeDeadline) : std::nullopt; }
    // A lost or refused link, or one closed and drained: the loop drops it.
    bool over(Clock::time_point now) const;

    std::size_t pending() const { return out.size(); }
    // Frame bytes queued, and written to the socket, since it connected.
    std::uint64_t queued() const { return queuedBytes; }
    std::uint64_t written() const { return writtenBytes; }

private:
    bool queue(const std::vector<std::byte> &frame);
    void greet(std::uint32_t now);

    int socket;
    FrameLayer frames;
    bool sendFeatures;
    std::vector<std::byte> in;
    std::vector<std::byte> out;
    std::uint64_t queuedBytes = 0;
    std::uint64_t writtenBytes = 0;
    bool greeted = false;
    bool broken = false;
    bool closing = false;
    Clock::time_point closeDeadline;
};

} // namespace StandIn
