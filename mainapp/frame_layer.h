#pragma once

#include "network/protocol_layer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The main app's end of the link's frames, on KNetwork::parseFrame: it checks
// the helper's handshake, answers it and reads the frames after it. It does
// no I/O and reads no clock: the connection hands it bytes and the time.
namespace StandIn {

class FrameLayer {
public:
    enum class Event {
        Incomplete, // no whole frame at the front yet
        Verified,   // the helper's handshake matched: answer() goes back
        Data,       // a payload from the verified helper
        Skipped,    // before the handshake, a frame that is none: dropped
        Expired,    // stale or from the future: dropped
        Rejected,   // a bad checksum drops the frame, a bad length all the bytes
        Mismatch,   // the helper's handshake did not match: the link is over
    };
    struct Read {
        Event event = Event::Incomplete;
        std::size_t consumed = 0;           // bytes to drop from the front
        std::span<const std::byte> payload; // Data: points into the bytes read
    };

    // The helper's handshake must carry the value of `secret`; ours carries
    // that of `answerSecret`, which differs only to fail the helper's check.
    // Neither text is kept.
    FrameLayer(const std::string &secret, const std::string &answerSecret)
        : expected(KNetwork::handshakeValue(secret)), answerValue(KNetwork::handshakeValue(answerSecret)) {}

    // The frame at the front of `bytes`.
    Read read(std::span<const std::byte> bytes, std::uint32_t now);
    // Our handshake frame, sent once the helper's has matched.
    std::vector<std::byte> answer(std::uint32_t now) const;

private:
    std::uint32_t expected;
    std::uint32_t answerValue;
    bool verified = false;
};

} // namespace StandIn
