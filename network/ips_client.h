#pragma once

#include "platform/clock.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace KNetwork {

// The authenticated link to the main app: a socket client and the frame
// protocol wired together. Connected means the peer's handshake has been
// verified. A client serves one link: it never reconnects or retries.
// Main thread only; any callback may destroy the client.
class IPSClient : public std::enable_shared_from_this<IPSClient> {
public:
    // Frames are stamped and checked with the clock, which outlives the
    // client; only a peer running as peerUserId is accepted.
    IPSClient(Platform::Clock &clock, unsigned peerUserId);
    ~IPSClient();
    IPSClient(const IPSClient &) = delete;
    IPSClient &operator=(const IPSClient &) = delete;

    // Call before connect().
    void setSecret(const std::string &secret);
    void setOnMessage(std::function<void(const std::vector<std::byte> &)> callback);
    void setOnConnected(std::function<void()> callback);
    void setOnDisconnected(std::function<void()> callback);
    void setOnError(std::function<void(const std::string &)> callback);
    // Raised when a congested link has sent everything it held.
    void setOnDrained(std::function<void()> callback);

    bool connect(const std::string &path, std::string *error);
    // False before the connected notification, after the link is gone, or
    // for a payload above the frame limit.
    bool send(const std::vector<std::byte> &payload);
    // Sends are still taken, but the peer is not reading fast enough: its
    // messages wait, and a producer should hold back until drained.
    bool congested() const;
    // Ends the link for good; raises nothing.
    void disconnect();

    struct Impl;

private:
    std::shared_ptr<Impl> impl;
};

} // namespace KNetwork
