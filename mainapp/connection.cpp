#include "mainapp/connection.h"

#include "mainapp/messages.h"
#include "network/protocol_layer.h"

#include <cerrno>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace StandIn {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// `close` and `exit` let queued frames out first, but not forever.
constexpr auto kDrainLimit = std::chrono::seconds(5);

// Worded as the helper's own layer words them; none for the other events.
const char *complaint(FrameLayer::Event event)
{
    using enum FrameLayer::Event;
    return event == Expired ? "Frame expired or timestamp invalid"
        : event == Rejected ? "Frame rejected: bad length or checksum"
        : event == Mismatch ? "Handshake failed: secret mismatch"
                            : nullptr;
}

std::uint32_t unixNow()
{
    return static_cast<std::uint32_t>(std::time(nullptr));
}

} // namespace

Connection::~Connection()
{
    ::close(socket);
}

void Connection::read()
{
    std::byte chunk[kReadChunk];
    const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        broken = true;
        return;
    }
    in.insert(in.end(), chunk, chunk + n);

    const std::uint32_t now = unixNow();
    std::size_t used = 0;
    while (!broken) {
        const FrameLayer::Read frame = frames.read(std::span(in).subspan(used), now);
        used += frame.consumed;
        if (frame.event == FrameLayer::Event::Incomplete)
            break;
        if (frame.event == FrameLayer::Event::Verified)
            greet(now);
        else if (frame.event == FrameLayer::Event::Data)
            for (const std::string &line : describeMessage(frame.payload))
                emit(line);
        else if (const char *text = complaint(frame.event))
            emit(std::string("error ") + text);
        // Nothing else from a helper that failed the handshake is trusted.
        broken = frame.event == FrameLayer::Event::Mismatch;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(used));
}

void Connection::greet(std::uint32_t now)
{
    // Our answer goes out before anything else.
    queue(frames.answer(now));
    emit("handshake-ok");
    if (sendFeatures)
        send(featuresMessage({kPointerMovesFeature}), "the automatic Features");
    greeted = true;
    emit("ready");
}

bool Connection::send(std::span<const std::byte> payload, const std::string &origin)
{
    const std::vector<std::byte> frame = KNetwork::encodeFrame(payload.data(), payload.size(), unixNow());
    if (!frame.empty() && queue(frame))
        return true;
    if (!origin.empty())
        complain(origin + ": not sent, " + std::to_string(pending()) + " bytes are still waiting for the helper");
    return false;
}

bool Connection::queue(const std::vector<std::byte> &frame)
{
    if (pending() + frame.size() > kMaxOutgoing)
        return false;
    out.insert(out.end(), frame.begin(), frame.end());
    queuedBytes += frame.size();
    return true;
}

void Connection::flush()
{
    while (!broken && !out.empty()) {
        const ssize_t n = ::send(socket, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break; // the rest goes when the socket says it is writable
        if (n < 0) {
            broken = true;
            return;
        }
        // At most kMaxOutgoing moves forward, and mostly far less.
        out.erase(out.begin(), out.begin() + n);
        writtenBytes += static_cast<std::uint64_t>(n);
    }
}

void Connection::beginClosing(Clock::time_point now)
{
    closing = true;
    closeDeadline = now + kDrainLimit;
}

bool Connection::over(Clock::time_point now) const
{
    return broken || (closing && (pending() == 0 || now >= closeDeadline));
}

} // namespace StandIn
