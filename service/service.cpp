#include "service/service.h"

#include "core/big_endian.h"
#include "core/callback.h"

#include <algorithm>
#include <new>

namespace Helper {

namespace {

constexpr std::size_t kHeader = 5;

// The declared payload length when the buffer holds all of it. Summed in
// 64 bits: a length near 2^32 must not wrap into a small one.
std::optional<std::uint32_t> declaredLength(const std::vector<std::byte> &buffer)
{
    if (buffer.size() <= 4)
        return std::nullopt;
    std::uint32_t length = KCore::readBig32(buffer.data() + 1);
    if (static_cast<std::uint64_t>(buffer.size()) < static_cast<std::uint64_t>(length) + kHeader)
        return std::nullopt;
    return length;
}

} // namespace

std::vector<std::byte> encodeServiceMessage(const ServiceMessage &message)
{
    std::vector<std::byte> out;
    try {
        out.reserve(message.payload.size() + kHeader);
    } catch (const std::bad_alloc &) {
        return {};
    }
    out.push_back(static_cast<std::byte>(message.type));
    KCore::appendBig32(out, static_cast<std::uint32_t>(message.payload.size()));
    out.insert(out.end(), message.payload.begin(), message.payload.end());
    return out;
}

std::optional<ServiceMessage> decodeServiceMessage(const std::vector<std::byte> &buffer)
{
    auto length = declaredLength(buffer);
    if (!length)
        return std::nullopt;
    ServiceMessage message;
    message.type = std::to_integer<std::uint8_t>(buffer[0]);
    try {
        message.payload.assign(buffer.begin() + kHeader, buffer.begin() + static_cast<std::ptrdiff_t>(kHeader + *length));
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
    return message;
}

std::optional<double> readDoubleBE(const std::vector<std::byte> &payload, std::size_t &cursor)
{
    if (cursor > payload.size() || payload.size() - cursor < 8)
        return std::nullopt;
    double value = KCore::readBigDouble(payload.data() + cursor);
    cursor += 8;
    return value;
}

struct Service::Impl {
    explicit Impl(Platform::Pointer &pointer) : pointer(pointer) {}

    Platform::Pointer &pointer;
    KCore::Callback<void(const std::vector<std::byte> &)> sender;
    KCore::Callback<bool()> congested;
    bool pointerMovesEnabled = false;
    // Features answers not sent yet; all alike, so a count is enough.
    std::uint64_t owedAnswers = 0;

    void send(const ServiceMessage &message)
    {
        if (sender)
            sender(encodeServiceMessage(message));
    }
    void answerFeatures();
};

void Service::Impl::answerFeatures()
{
    if (!sender) {
        owedAnswers = 0;
        return;
    }
    static const std::vector<std::byte> answer =
        encodeServiceMessage({static_cast<std::uint8_t>(MessageType::Features), {std::byte{kFeaturePointerMoves}}});
    while (owedAnswers > 0 && !(congested && congested())) {
        --owedAnswers;
        sender(answer);
    }
}

Service::Service(Platform::Pointer &pointer)
    : impl(std::make_shared<Impl>(pointer))
{
}

Service::~Service() = default;

void Service::setSender(std::function<void(const std::vector<std::byte> &)> sender)
{
    impl->sender.set(std::move(sender));
}

void Service::setCongested(std::function<bool()> congested)
{
    impl->congested.set(std::move(congested));
}

void Service::sendingResumed()
{
    std::shared_ptr<Impl> self = impl;
    self->answerFeatures();
}

void Service::handleMessage(const std::vector<std::byte> &buffer)
{
    // Held for the call: a sender may drop the service.
    std::shared_ptr<Impl> self = impl;
    auto length = declaredLength(buffer);
    if (!length)
        return;
    const std::byte *payload = buffer.data() + kHeader;
    switch (static_cast<MessageType>(buffer[0])) {
    case MessageType::Features: {
        // One answer per code 3, in the order the codes came.
        const auto codes = std::count(payload, payload + *length, std::byte{kFeaturePointerMoves});
        if (codes > 0) {
            self->pointerMovesEnabled = true;
            self->owedAnswers += static_cast<std::uint64_t>(codes);
            self->answerFeatures();
        }
        break;
    }
    case MessageType::MovePointer:
        // The hot path: read in place, no copy of the payload.
        if (self->pointerMovesEnabled && *length >= 16) {
            std::size_t cursor = kHeader;
            const double x = *readDoubleBE(buffer, cursor);
            self->pointer.postPointerMove(x, *readDoubleBE(buffer, cursor));
        }
        break;
    default:
        break;
    }
}

void Service::start()
{
    std::vector<std::byte> payload;
    KCore::appendBig32(payload, 1);
    payload.push_back(std::byte{impl->pointer.isAccessibilityTrusted() ? std::uint8_t{1} : std::uint8_t{0}});
    std::shared_ptr<Impl> self = impl;
    self->send({static_cast<std::uint8_t>(MessageType::AccessibilityStatus), std::move(payload)});
}

} // namespace Helper
