#pragma once

#include "network/frame_parser.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace KNetwork {

// A non-blocking client of a local stream socket, driven by the main loop.
// It reports the connection, each chunk read and the loss of the link, and
// writes whole buffers: what the socket cannot take at once is queued and
// sent when it becomes writable, so a frame is never cut on the wire. The
// loss (end of stream, a read or a write error) is reported once, from the
// loop; after a failed write, what the peer had sent is delivered first.
// Main thread only; a callback may destroy the client.
class UnixSocketClient : public std::enable_shared_from_this<UnixSocketClient> {
public:
    // At most this much is read per notification.
    static constexpr std::size_t kReadChunk = KNetwork::kReadChunk;
    // Above this many unsent bytes the link is congested: nothing more is
    // read from the peer until they are all sent, and producers wait.
    static constexpr std::size_t kSendBound = 262'144;
    // Unsent bytes kept at most: one largest frame and some room. Only a
    // producer that ignores congestion can pass it; that loses the link.
    static constexpr std::size_t kMaxQueued = kMaxPayload + kFrameOverhead + 65'536;

    // Only a peer running as peerUserId is taken for a connection.
    explicit UnixSocketClient(unsigned peerUserId);
    ~UnixSocketClient();
    UnixSocketClient(const UnixSocketClient &) = delete;
    UnixSocketClient &operator=(const UnixSocketClient &) = delete;

    void setOnData(std::function<void(const std::vector<std::byte> &)> callback);
    void setOnDisconnected(std::function<void()> callback);
    void setOnConnected(std::function<void()> callback);
    // Raised from the loop when a congested link has sent everything.
    void setOnDrained(std::function<void()> callback);

    // Starts connecting. The connected notification always comes later from
    // the loop, once the socket is up and its peer runs as the same user.
    // A listener whose backlog is full is tried again for a second; still
    // full, the disconnected notification says so. A failed call leaves an
    // earlier connection as it was.
    bool connect(const std::string &path, std::string *error);
    // True when every byte was written or queued in order.
    bool send(const std::vector<std::byte> &bytes);
    bool congested() const;
    // Closes the socket and drops the callbacks; raises nothing.
    void close();

    struct Impl;

private:
    std::shared_ptr<Impl> impl;
};

} // namespace KNetwork
