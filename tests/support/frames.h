#pragma once

// Link bytes written by hand, so no test trusts the encoder it checks.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace TestSupport {

using Bytes = std::vector<std::byte>;

inline Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

inline Bytes be32(std::uint32_t v)
{
    return bytes({int(v >> 24), int(v >> 16 & 0xFF), int(v >> 8 & 0xFF), int(v & 0xFF)});
}

inline std::uint32_t get32(const Bytes &b, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = v << 8 | std::to_integer<std::uint32_t>(b[at + i]);
    return v;
}

inline Bytes text(const std::string &s)
{
    const auto *p = reinterpret_cast<const std::byte *>(s.data());
    return Bytes(p, p + s.size());
}

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes slice(const Bytes &b, std::size_t from, std::size_t to)
{
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

inline std::uint32_t sumOf(const Bytes &b)
{
    std::uint32_t sum = 0;
    for (std::byte x : b)
        sum += std::to_integer<std::uint32_t>(x);
    return sum;
}

// Length, timestamp, payload, checksum (the payload's byte sum unless given).
inline Bytes frame(const Bytes &payload, std::uint32_t ts, std::optional<std::uint32_t> checksum = {})
{
    return join({be32(static_cast<std::uint32_t>(payload.size())), be32(ts), payload,
        be32(checksum.value_or(sumOf(payload)))});
}

inline Bytes handshake(const std::string &secret, std::uint32_t ts)
{
    return frame(be32(sumOf(text(secret))), ts);
}

// A MovePointer message: two big-endian doubles, bit by bit.
inline Bytes moveMessage(double x, double y)
{
    Bytes out = bytes({0x03, 0, 0, 0, 0x10});
    for (double v : {x, y})
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::byte>(std::bit_cast<std::uint64_t>(v) >> shift));
    return out;
}

} // namespace TestSupport
