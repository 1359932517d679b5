#pragma once

#include "platform/pointer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The messages exchanged with the main app inside the link's payloads:
// one type byte, a 32-bit big-endian length, the payload.
namespace Helper {

enum class MessageType : std::uint8_t {
    Features = 2,
    MovePointer = 3,
    AccessibilityStatus = 4,
};

// The one feature the helper knows: moving the pointer.
inline constexpr std::uint8_t kFeaturePointerMoves = 3;

struct ServiceMessage {
    std::uint8_t type = 0;
    std::vector<std::byte> payload;
};

// Empty only when memory for the message cannot be had.
std::vector<std::byte> encodeServiceMessage(const ServiceMessage &message);
// Nothing for a buffer shorter than its header or its declared payload;
// bytes after the declared payload are ignored.
std::optional<ServiceMessage> decodeServiceMessage(const std::vector<std::byte> &buffer);
// An IEEE-754 double, most significant byte first, at the cursor; the
// cursor moves on by 8 only on success.
std::optional<double> readDoubleBE(const std::vector<std::byte> &payload, std::size_t &cursor);

// The helper's end of the link: answers the features exchange, reports the
// permission once, and moves the pointer on each command once moves are
// enabled. One service per established link. Main thread only.
// One Features message can owe far more answers than it has bytes; they are
// produced as the link drains, so memory stays bounded.
class Service : public std::enable_shared_from_this<Service> {
public:
    // Moves and the permission go to the pointer, which outlives the service.
    explicit Service(Platform::Pointer &pointer);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Receives every encoded message the service sends.
    void setSender(std::function<void(const std::vector<std::byte> &)> sender);
    // Whether the link holds too much unsent: Features answers then wait
    // for sendingResumed(). Unset, the link is never congested.
    void setCongested(std::function<bool()> congested);
    void handleMessage(const std::vector<std::byte> &buffer);
    // The link has room again: sends the answers still owed, until it is
    // congested again or none are left.
    void sendingResumed();
    // Sends the accessibility status, once per link.
    void start();

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};

} // namespace Helper
