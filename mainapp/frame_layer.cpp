#include "mainapp/frame_layer.h"

#include "core/big_endian.h"

namespace StandIn {

FrameLayer::Read FrameLayer::read(std::span<const std::byte> bytes, std::uint32_t now)
{
    const KNetwork::ParsedFrame frame = KNetwork::parseFrame(bytes);
    // Nothing after a bad length can be trusted to start a frame.
    if (frame.status == KNetwork::FrameStatus::Oversize)
        return {Event::Rejected, bytes.size(), {}};
    if (frame.status == KNetwork::FrameStatus::Incomplete)
        return {};
    // The helper's order of checks, so both sides name a bad frame alike.
    Read result{Event::Data, frame.size, frame.payload};
    if (!KNetwork::isFresh(frame.timestamp, now))
        result.event = Event::Expired;
    else if (!frame.checksumMatches)
        result.event = Event::Rejected;
    else if (!verified && frame.payload.size() != sizeof expected) // a handshake is the value alone
        result.event = Event::Skipped;
    else if (!verified)
        result.event = KCore::readBig32(frame.payload.data()) == expected ? Event::Verified : Event::Mismatch;
    verified = verified || result.event == Event::Verified;
    return result;
}

std::vector<std::byte> FrameLayer::answer(std::uint32_t now) const
{
    std::byte value[sizeof answerValue];
    KCore::writeBig32(value, answerValue);
    return KNetwork::encodeFrame(value, sizeof value, now);
}

} // namespace StandIn
