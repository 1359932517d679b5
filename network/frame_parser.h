#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Reads one frame of the link from the front of a byte span: length,
// timestamp, payload and checksum, each integer unsigned 32-bit big-endian.
// It does no I/O, keeps no state and calls nobody: the caller owns the bytes
// and the loop. Standard library only.
namespace KNetwork {

// Largest payload a frame may carry, inclusive.
inline constexpr std::size_t kMaxPayload = 16'777'216;
// Length, timestamp and checksum around the payload.
inline constexpr std::size_t kFrameOverhead = 12;
// The link reads at most this much per notification.
inline constexpr std::size_t kReadChunk = 8192;

enum class FrameStatus {
    // The span holds a whole frame.
    Complete,
    // More bytes are needed; size says how many in all once the header is in.
    Incomplete,
    // The length is above kMaxPayload: nothing after it can be trusted.
    Oversize,
};

struct ParsedFrame {
    FrameStatus status = FrameStatus::Incomplete;
    // Complete: the bytes the frame takes. Incomplete: the bytes the whole
    // frame will take, or 0 while its header is not in yet.
    std::size_t size = 0;
    std::uint32_t timestamp = 0;
    // Points into the caller's span.
    std::span<const std::byte> payload;
    bool checksumMatches = false;
};

ParsedFrame parseFrame(std::span<const std::byte> bytes);

// Sum of the bytes taken as 0..255, modulo 2^32: the frame checksum.
std::uint32_t byteSum(const std::byte *data, std::size_t size);

// The frame freshness rule: at most 30 s old, at most 5 s ahead of now.
bool isFresh(std::uint32_t timestamp, std::uint32_t now);

} // namespace KNetwork
