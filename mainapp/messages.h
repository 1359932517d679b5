#pragma once

#include "mainapp/command_script.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Service messages as the main app writes and reads them: a type byte, a
// 32-bit big-endian payload length, the payload.
namespace StandIn {

inline constexpr std::uint8_t kFeaturesType = 2;
inline constexpr std::uint8_t kMovePointerType = 3;
inline constexpr std::uint8_t kAccessibilityStatusType = 4;
inline constexpr std::uint8_t kPointerMovesFeature = 3;
// Type, length and two doubles.
inline constexpr std::size_t kMovePointerSize = 21;

std::vector<std::byte> serviceMessage(std::uint8_t type, const std::vector<std::byte> &payload);
std::vector<std::byte> featuresMessage(const std::vector<std::uint8_t> &codes);
// x then y, each an IEEE-754 double, most significant byte first.
std::vector<std::byte> movePointerMessage(Point to);

// Lower-case hex without separators; "-" for nothing, so that the field
// never disappears from an output line.
std::string hexText(std::span<const std::byte> bytes);

// The output lines for one payload from the helper:
//   features <code>                     one per code of a Features message
//   accessibility-status <version> <trusted>
//   message <type> <hex payload>        any other well-formed message
//   message invalid <hex>               a payload that is no service message
std::vector<std::string> describeMessage(std::span<const std::byte> payload);

} // namespace StandIn
