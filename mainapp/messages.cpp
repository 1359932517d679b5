#include "mainapp/messages.h"

#include "core/big_endian.h"

namespace StandIn {

std::vector<std::byte> serviceMessage(std::uint8_t type, const std::vector<std::byte> &payload)
{
    std::vector<std::byte> out;
    out.push_back(static_cast<std::byte>(type));
    KCore::appendBig32(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::byte> featuresMessage(const std::vector<std::uint8_t> &codes)
{
    std::vector<std::byte> payload;
    for (std::uint8_t code : codes)
        payload.push_back(static_cast<std::byte>(code));
    return serviceMessage(kFeaturesType, payload);
}

std::vector<std::byte> movePointerMessage(Point to)
{
    std::vector<std::byte> payload;
    KCore::appendBigDouble(payload, to.x);
    KCore::appendBigDouble(payload, to.y);
    return serviceMessage(kMovePointerType, payload);
}

std::string hexText(std::span<const std::byte> bytes)
{
    if (bytes.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::byte b : bytes) {
        text.push_back(digits[std::to_integer<unsigned>(b) >> 4]);
        text.push_back(digits[std::to_integer<unsigned>(b) & 0xF]);
    }
    return text;
}

std::vector<std::string> describeMessage(std::span<const std::byte> bytes)
{
    // Same acceptance as the helper's decoder: a header, then at least the
    // declared payload; what follows it is ignored.
    if (bytes.size() < 5 || static_cast<std::uint64_t>(KCore::readBig32(bytes.data() + 1)) + 5 > bytes.size())
        return {"message invalid " + hexText(bytes)};
    const unsigned type = std::to_integer<unsigned>(bytes[0]);
    const std::span<const std::byte> payload = bytes.subspan(5, KCore::readBig32(bytes.data() + 1));

    if (type == kFeaturesType && !payload.empty()) {
        std::vector<std::string> lines;
        for (std::byte code : payload)
            lines.push_back("features " + std::to_string(std::to_integer<unsigned>(code)));
        return lines;
    }
    if (type == kAccessibilityStatusType && payload.size() == 5)
        return {"accessibility-status " + std::to_string(KCore::readBig32(payload.data())) + " "
            + std::to_string(std::to_integer<unsigned>(payload[4]))};
    return {"message " + std::to_string(type) + " " + hexText(payload)};
}

} // namespace StandIn
