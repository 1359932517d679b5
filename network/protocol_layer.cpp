#include "network/protocol_layer.h"

#include "core/big_endian.h"
#include "core/callback.h"

#include <span>
#include <utility>

namespace KNetwork {

namespace {

using Bytes = std::vector<std::byte>;

const std::string kExpiredText = "Frame expired or timestamp invalid";
const std::string kMismatchText = "Handshake failed: secret mismatch";
constexpr std::uint32_t kHandshakeLength = 4;
// The buffer keeps its room between frames, so a stream of large frames does
// not pay for fresh pages each time, but never more than this.
constexpr std::size_t kRetainedCapacity = kMaxPayload + kFrameOverhead + kReadChunk;

} // namespace

std::uint32_t handshakeValue(const std::string &secret)
{
    return byteSum(reinterpret_cast<const std::byte *>(secret.data()), secret.size());
}

Bytes encodeFrame(const std::byte *data, std::size_t size, std::uint32_t timestamp)
{
    if (size > kMaxPayload)
        return {};
    Bytes frame;
    frame.reserve(size + kFrameOverhead);
    KCore::appendBig32(frame, static_cast<std::uint32_t>(size));
    KCore::appendBig32(frame, timestamp);
    frame.insert(frame.end(), data, data + size);
    KCore::appendBig32(frame, byteSum(data, size));
    return frame;
}

struct ProtocolLayer::Impl {
    Impl(bool initiator, Platform::Clock &clock) : initiator(initiator), clock(clock) {}

    KCore::Callback<bool(const Bytes &)> onSend;
    KCore::Callback<void(const Bytes &)> onData;
    KCore::Callback<void(const std::string &)> onError;
    KCore::Callback<void()> onHandshake;
    // Bytes of frames not yet complete, from readOffset on.
    Bytes buffer;
    std::size_t readOffset = 0;
    // The copy each data payload is handed over in; reused, so a stream of
    // frames costs no allocation.
    Bytes payload;
    std::string secret;
    bool handshakeComplete = false;
    bool initiator;
    Platform::Clock &clock;
    // The owner dropped or reset this state: a running call stops at once.
    bool retired = false;
    // processIncoming is running; a nested call only appends its bytes.
    bool receiving = false;
    bool paused = false;

    std::uint32_t now() { return static_cast<std::uint32_t>(clock.unixTime()); }
    void sendHandshake();
    bool receive(const Bytes &bytes);
    void keepTail(std::span<const std::byte> tail, bool inBuffer, std::size_t waitingFor);
};

void ProtocolLayer::Impl::sendHandshake()
{
    if (!onSend)
        return;
    std::byte value[kHandshakeLength];
    KCore::writeBig32(value, handshakeValue(secret));
    onSend(encodeFrame(value, kHandshakeLength, now()));
}

// What is left after the complete frames waits for the next call.
void ProtocolLayer::Impl::keepTail(std::span<const std::byte> tail, bool inBuffer, std::size_t waitingFor)
{
    if (!inBuffer) {
        buffer.clear();
        readOffset = 0;
    } else if (readOffset > buffer.size() / 2) {
        // Only when the consumed prefix is the larger part, so consuming a
        // frame never moves buffered bytes.
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(readOffset));
        readOffset = 0;
    }
    // Room for the whole frame only once the peer has proved itself: before
    // that, 12 bytes would be enough to make us reserve 16 MiB.
    if (waitingFor && handshakeComplete && buffer.capacity() < readOffset + waitingFor) {
        Bytes grown;
        // A read's worth of room beyond the frame, so reads land without
        // reallocating.
        grown.reserve(waitingFor + kReadChunk);
        grown.assign(buffer.begin() + static_cast<std::ptrdiff_t>(readOffset), buffer.end());
        buffer.swap(grown);
        readOffset = 0;
    }
    if (!inBuffer)
        buffer.assign(tail.begin(), tail.end());
    // Only a caller handing over chunks larger than a frame grows it this far.
    if (buffer.capacity() > kRetainedCapacity && buffer.capacity() > buffer.size())
        buffer.shrink_to_fit();
}

bool ProtocolLayer::Impl::receive(const Bytes &bytes)
{
    if (receiving || paused) {
        // Called again from one of our callbacks, the running call reads
        // these after the bytes it already has; paused, a later call does.
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        return true;
    }
    receiving = true;
    struct Done {
        Impl &state;
        ~Done() { state.receiving = false; }
    } done{*this};

    // With nothing pending the frames are read straight from the chunk the
    // socket read into; only an incomplete tail is copied.
    bool inPlace = readOffset == buffer.size();
    std::span<const std::byte> input;
    if (inPlace) {
        buffer.clear();
        readOffset = 0;
        input = bytes;
    } else {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        input = std::span<const std::byte>(buffer).subspan(readOffset);
    }
    auto consume = [&](std::size_t size) {
        input = input.subspan(size);
        if (!inPlace)
            readOffset += size;
    };
    // After a callback: stop once we were dropped or reset; bytes that a
    // nested call appended follow the rest of this chunk.
    auto carryOn = [&] {
        if (retired)
            return false;
        if (inPlace && !buffer.empty()) {
            buffer.insert(buffer.begin(), input.begin(), input.end());
            inPlace = false;
        }
        if (!inPlace)
            input = std::span<const std::byte>(buffer).subspan(readOffset);
        return true;
    };

    std::size_t waitingFor = 0;
    for (;;) {
        const ParsedFrame frame = parseFrame(input);
        if (frame.status == FrameStatus::Oversize) {
            // Nothing after a bad length can be trusted to start a frame.
            keepTail({}, false, 0);
            return false;
        }
        if (frame.status == FrameStatus::Incomplete) {
            waitingFor = frame.size;
            break;
        }

        if (!isFresh(frame.timestamp, now())) {
            consume(frame.size);
            if (onError) {
                onError(kExpiredText);
                if (!carryOn())
                    return true;
            }
            continue;
        }

        if (!frame.checksumMatches) {
            // The frames after it wait, unexamined, for the next call.
            consume(frame.size);
            keepTail(input, !inPlace, 0);
            return false;
        }

        if (handshakeComplete) {
            consume(frame.size);
            if (!onData)
                continue;
            payload.assign(frame.payload.begin(), frame.payload.end());
            onData(payload);
            if (!carryOn())
                return true;
            if (paused)
                break;
            continue;
        }

        if (frame.payload.size() != kHandshakeLength) {
            consume(frame.size);
            continue;
        }

        if (KCore::readBig32(frame.payload.data()) != handshakeValue(secret)) {
            if (onError) {
                // The frame stays at the head of the buffer.
                if (inPlace)
                    keepTail(input, false, 0);
                onError(kMismatchText);
                return false;
            }
            consume(frame.size);
            continue;
        }

        consume(frame.size);
        handshakeComplete = true;
        if (!initiator && !secret.empty()) {
            sendHandshake();
            if (!carryOn())
                return true;
        }
        if (onHandshake) {
            onHandshake();
            if (!carryOn())
                return true;
        }
    }
    keepTail(input, !inPlace, waitingFor);
    return true;
}

ProtocolLayer::ProtocolLayer(bool initiator, Platform::Clock &clock)
    : impl(std::make_shared<Impl>(initiator, clock))
{
}

// A call still running on this layer holds the state and sees this mark.
ProtocolLayer::~ProtocolLayer()
{
    impl->retired = true;
}

void ProtocolLayer::setSecret(const std::string &secret)
{
    impl->secret = secret;
}

void ProtocolLayer::setOnSend(std::function<bool(const Bytes &)> callback)
{
    impl->onSend.set(std::move(callback));
}

void ProtocolLayer::setOnData(std::function<void(const Bytes &)> callback)
{
    impl->onData.set(std::move(callback));
}

void ProtocolLayer::setOnError(std::function<void(const std::string &)> callback)
{
    impl->onError.set(std::move(callback));
}

void ProtocolLayer::setOnHandshake(std::function<void()> callback)
{
    impl->onHandshake.set(std::move(callback));
}

void ProtocolLayer::startHandshake()
{
    const std::shared_ptr<Impl> state = impl;
    state->handshakeComplete = false;
    if (state->initiator && !state->secret.empty())
        state->sendHandshake();
}

bool ProtocolLayer::send(const std::byte *data, std::size_t size)
{
    const std::shared_ptr<Impl> state = impl;
    if (!state->onSend || size > kMaxPayload || !state->handshakeComplete)
        return false;
    return state->onSend(encodeFrame(data, size, state->now()));
}

bool ProtocolLayer::processIncoming(const Bytes &bytes)
{
    // Held for the whole call: a callback may drop the last owner of this
    // layer, and from then on only the state is touched.
    const std::shared_ptr<Impl> state = impl;
    return state->receive(bytes);
}

void ProtocolLayer::setPaused(bool paused)
{
    impl->paused = paused;
}

void ProtocolLayer::reset()
{
    auto fresh = std::make_shared<Impl>(impl->initiator, impl->clock);
    fresh->secret = impl->secret;
    fresh->onSend = std::move(impl->onSend);
    fresh->onData = std::move(impl->onData);
    fresh->onError = std::move(impl->onError);
    fresh->onHandshake = std::move(impl->onHandshake);
    impl->retired = true;
    impl = std::move(fresh);
}

} // namespace KNetwork
