#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

// Every integer and double on the link is big-endian. Standard library only.
namespace KCore {

inline std::uint32_t readBig32(const std::byte *p)
{
    return std::to_integer<std::uint32_t>(p[0]) << 24 | std::to_integer<std::uint32_t>(p[1]) << 16
        | std::to_integer<std::uint32_t>(p[2]) << 8 | std::to_integer<std::uint32_t>(p[3]);
}

inline double readBigDouble(const std::byte *p)
{
    std::uint64_t bits = std::uint64_t{readBig32(p)} << 32 | readBig32(p + 4);
    return std::bit_cast<double>(bits);
}

inline void writeBig32(std::byte *p, std::uint32_t value)
{
    p[0] = static_cast<std::byte>(value >> 24);
    p[1] = static_cast<std::byte>(value >> 16);
    p[2] = static_cast<std::byte>(value >> 8);
    p[3] = static_cast<std::byte>(value);
}

inline void appendBig32(std::vector<std::byte> &out, std::uint32_t value)
{
    std::byte bytes[4];
    writeBig32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

inline void appendBigDouble(std::vector<std::byte> &out, double value)
{
    const auto bits = std::bit_cast<std::uint64_t>(value);
    appendBig32(out, static_cast<std::uint32_t>(bits >> 32));
    appendBig32(out, static_cast<std::uint32_t>(bits));
}

} // namespace KCore
