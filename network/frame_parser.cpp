#include "network/frame_parser.h"

#include "core/big_endian.h"

namespace KNetwork {

namespace {

constexpr std::uint32_t kMaxAge = 30;
constexpr std::uint32_t kMaxAhead = 5;

} // namespace

ParsedFrame parseFrame(std::span<const std::byte> bytes)
{
    ParsedFrame frame;
    if (bytes.size() < kFrameOverhead)
        return frame;
    const std::uint32_t length = KCore::readBig32(bytes.data());
    // Checked before waiting for the rest: the length comes from the peer.
    if (length > kMaxPayload) {
        frame.status = FrameStatus::Oversize;
        return frame;
    }
    frame.size = length + kFrameOverhead;
    if (bytes.size() < frame.size)
        return frame;
    frame.status = FrameStatus::Complete;
    frame.timestamp = KCore::readBig32(bytes.data() + 4);
    frame.payload = bytes.subspan(8, length);
    frame.checksumMatches = byteSum(frame.payload.data(), length) == KCore::readBig32(bytes.data() + 8 + length);
    return frame;
}

std::uint32_t byteSum(const std::byte *data, std::size_t size)
{
    // Fixed-length blocks with a 16-bit partial sum vectorize even at -O2;
    // 256 bytes of 0xFF still fit in 16 bits.
    constexpr std::size_t kBlock = 256;
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; size - i >= kBlock; i += kBlock) {
        std::uint16_t block = 0;
        for (std::size_t j = 0; j < kBlock; ++j)
            block = static_cast<std::uint16_t>(block + std::to_integer<std::uint16_t>(data[i + j]));
        sum += block;
    }
    for (; i < size; ++i)
        sum += std::to_integer<std::uint32_t>(data[i]);
    return sum;
}

// Compared as serial numbers: the signed 32-bit difference, so the window
// is the same across the wrap of the 32-bit clock (2106-02-07) as anywhere.
bool isFresh(std::uint32_t timestamp, std::uint32_t now)
{
    const auto ahead = static_cast<std::int32_t>(timestamp - now);
    return ahead >= -static_cast<std::int32_t>(kMaxAge) && ahead <= static_cast<std::int32_t>(kMaxAhead);
}

} // namespace KNetwork
