#pragma once

#include "network/frame_parser.h"
#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The link's frames and handshake. The layer never touches a socket; its
// owner feeds it received bytes and hands its frames to the wire. Underneath,
// parseFrame cuts the frames; this layer applies the freshness, checksum and
// handshake rules and raises the callbacks.
namespace KNetwork {

// The 32-bit value a handshake frame carries; the secret itself never travels.
std::uint32_t handshakeValue(const std::string &secret);
// One complete frame; empty when size exceeds kMaxPayload.
std::vector<std::byte> encodeFrame(const std::byte *data, std::size_t size, std::uint32_t timestamp);

class ProtocolLayer : public std::enable_shared_from_this<ProtocolLayer> {
public:
    // The helper is the initiator; the main app answers. Frames are stamped
    // and checked with the clock, which outlives the layer.
    ProtocolLayer(bool initiator, Platform::Clock &clock);
    ~ProtocolLayer();
    ProtocolLayer(const ProtocolLayer &) = delete;
    ProtocolLayer &operator=(const ProtocolLayer &) = delete;

    void setSecret(const std::string &secret);
    // Each complete frame, in one call; returns whether it was written.
    void setOnSend(std::function<bool(const std::vector<std::byte> &)> callback);
    // The payload of each data frame once the handshake is complete.
    void setOnData(std::function<void(const std::vector<std::byte> &)> callback);
    // "Frame expired or timestamp invalid" or "Handshake failed: secret mismatch".
    void setOnError(std::function<void(const std::string &)> callback);
    // Once per verified handshake frame from the peer.
    void setOnHandshake(std::function<void()> callback);

    // Call on each connect: the link is unverified again until the peer's
    // handshake frame arrives; the initiator sends its own first.
    void startHandshake();
    // False when there is no send callback, size exceeds kMaxPayload, the
    // handshake is not complete, or the send callback reports failure.
    bool send(const std::byte *data, std::size_t size);
    // False when it stopped on an oversize length, a checksum mismatch or a
    // reported handshake mismatch. A callback may destroy or reset the layer;
    // the call then stops examining frames and returns true. Called from one
    // of the layer's own callbacks, it queues the bytes behind those being
    // read and returns true. bytes must stay unchanged until it returns.
    bool processIncoming(const std::vector<std::byte> &bytes);
    // A fresh connection state; secret, role and callbacks stay.
    void reset();
    // While paused, received bytes are kept unexamined; a data callback that
    // pauses the layer leaves the rest of its chunk waiting. Unpausing
    // examines nothing by itself: processIncoming with no bytes goes on.
    void setPaused(bool paused);

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

} // namespace KNetwork
