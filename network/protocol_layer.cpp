#include "network/protocol_layer.h"

#include "platform/seam.h"

#include <utility>

namespace KNetwork {

namespace {

using Bytes = std::vector<std::byte>;

const std::string kExpiredText = "Frame expired or timestamp invalid";
const std::string kMismatchText = "Handshake failed: secret mismatch";
constexpr std::uint32_t kHandshakeLength = 4;
constexpr std::uint32_t kMaxAge = 30;
constexpr std::uint32_t kMaxAhead = 5;
// What the socket hands over per read; a frame we wait for gets this much
// room beyond its end so that reads land without reallocating.
constexpr std::size_t kReadChunk = 8192;
// The buffer keeps its room between frames, so a stream of large frames does
// not pay for fresh pages each time, but never more than this.
constexpr std::size_t kRetainedCapacity = kMaxPayload + kFrameOverhead + kReadChunk;

std::uint32_t readBig32(const std::byte *p)
{
    return std::to_integer<std::uint32_t>(p[0]) << 24 | std::to_integer<std::uint32_t>(p[1]) << 16
        | std::to_integer<std::uint32_t>(p[2]) << 8 | std::to_integer<std::uint32_t>(p[3]);
}

void appendBig32(Bytes &out, std::uint32_t value)
{
    out.push_back(static_cast<std::byte>(value >> 24));
    out.push_back(static_cast<std::byte>(value >> 16));
    out.push_back(static_cast<std::byte>(value >> 8));
    out.push_back(static_cast<std::byte>(value));
}

std::uint32_t clockNow()
{
    return static_cast<std::uint32_t>(Platform::seam().unixTime());
}

// Both sums wrap at 2^32 and compare unsigned, as the peer computes them.
bool isFresh(std::uint32_t timestamp, std::uint32_t now)
{
    return static_cast<std::uint32_t>(timestamp + kMaxAge) >= now
        && timestamp <= static_cast<std::uint32_t>(now + kMaxAhead);
}

} // namespace

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
    appendBig32(frame, static_cast<std::uint32_t>(size));
    appendBig32(frame, timestamp);
    frame.insert(frame.end(), data, data + size);
    appendBig32(frame, byteSum(data, size));
    return frame;
}

struct ProtocolLayer::Impl {
    explicit Impl(bool initiator) : initiator(initiator) {}

    std::function<bool(const Bytes &)> onSend;
    std::function<void(const Bytes &)> onData;
    std::function<void(const std::string &)> onError;
    std::function<void()> onHandshake;
    Bytes buffer;
    std::size_t readOffset = 0;
    std::string secret;
    bool handshakeComplete = false;
    bool initiator;

    // The owner dropped or reset this state: a running call stops at once.
    bool retired = false;
    // processIncoming is running; a nested call only queues its bytes.
    bool receiving = false;
    // Bumped by every setter so a running call notices a new data callback.
    std::uint64_t callbackVersion = 0;

    void sendHandshake();
    bool receive(const Bytes &bytes);
    void compact();
    void reserveFor(std::size_t frameSize);
    void releaseExcess();
};

void ProtocolLayer::Impl::sendHandshake()
{
    // A copy: the callback may replace itself or drop this state.
    auto sender = onSend;
    if (!sender)
        return;
    const std::uint32_t value = handshakeValue(secret);
    const std::byte payload[kHandshakeLength] = {static_cast<std::byte>(value >> 24),
        static_cast<std::byte>(value >> 16), static_cast<std::byte>(value >> 8), static_cast<std::byte>(value)};
    sender(encodeFrame(payload, kHandshakeLength, clockNow()));
}

void ProtocolLayer::Impl::compact()
{
    // Only when the consumed prefix is the larger part, so consuming a frame
    // never moves buffered bytes.
    if (readOffset > buffer.size() / 2) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(readOffset));
        readOffset = 0;
    }
}

void ProtocolLayer::Impl::reserveFor(std::size_t frameSize)
{
    if (buffer.capacity() >= readOffset + frameSize)
        return;
    // frameSize was checked against the limit, so this stays within one
    // maximum frame plus one read. Growing copies the bytes anyway, so the
    // consumed prefix is left behind on the way.
    Bytes grown;
    grown.reserve(frameSize + kReadChunk);
    grown.assign(buffer.begin() + static_cast<std::ptrdiff_t>(readOffset), buffer.end());
    buffer.swap(grown);
    readOffset = 0;
}

void ProtocolLayer::Impl::releaseExcess()
{
    // Only a caller handing over chunks larger than a frame grows it this far.
    if (buffer.capacity() > kRetainedCapacity && buffer.capacity() > buffer.size())
        buffer.shrink_to_fit();
}

bool ProtocolLayer::Impl::receive(const Bytes &bytes)
{
    if (receiving) {
        // Called again from one of our callbacks: the running call reads
        // these after the bytes it already has.
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        return true;
    }
    receiving = true;
    struct Done {
        Impl &state;
        ~Done() { state.receiving = false; }
    } done{*this};

    // With nothing pending, frames are read straight from the chunk and only
    // its incomplete tail is copied into the buffer.
    const std::byte *chunk = bytes.data();
    const std::byte *const chunkEnd = chunk + bytes.size();
    bool inPlace = readOffset == buffer.size();
    if (inPlace) {
        buffer.clear();
        readOffset = 0;
    } else {
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    }

    auto dataCallback = onData;
    std::uint64_t dataVersion = callbackVersion;

    // After every callback: stop if we were dropped or reset; if a nested call
    // queued bytes, they follow the rest of this chunk, so buffer it too.
    auto carryOn = [&] {
        if (retired)
            return false;
        if (inPlace && !buffer.empty()) {
            buffer.insert(buffer.begin(), chunk, chunkEnd);
            inPlace = false;
        }
        return true;
    };
    auto consume = [&](std::size_t frameSize) {
        if (inPlace)
            chunk += frameSize;
        else
            readOffset += frameSize;
    };

    std::size_t waitingFor = 0;
    for (;;) {
        const std::byte *frame = inPlace ? chunk : buffer.data() + readOffset;
        const std::size_t available = inPlace ? static_cast<std::size_t>(chunkEnd - chunk) : buffer.size() - readOffset;
        if (available < kFrameOverhead)
            break;
        const std::uint32_t length = readBig32(frame);
        if (length > kMaxPayload) {
            // Checked before waiting for it: the length comes from the peer,
            // and nothing after a bad length can be trusted to start a frame.
            buffer.clear();
            readOffset = 0;
            releaseExcess();
            return false;
        }
        const std::size_t frameSize = length + kFrameOverhead;
        if (available < frameSize) {
            waitingFor = frameSize;
            break;
        }
        const std::byte *payload = frame + 8;

        if (!isFresh(readBig32(frame + 4), clockNow())) {
            consume(frameSize);
            if (auto error = onError) {
                error(kExpiredText);
                if (!carryOn())
                    return true;
            }
            continue;
        }

        if (byteSum(payload, length) != readBig32(payload + length)) {
            // The frames after it wait, unexamined, for the next call.
            consume(frameSize);
            if (inPlace)
                buffer.assign(chunk, chunkEnd);
            else
                compact();
            return false;
        }

        if (handshakeComplete) {
            if (dataVersion != callbackVersion) {
                dataCallback = onData;
                dataVersion = callbackVersion;
            }
            if (!dataCallback) {
                consume(frameSize);
                continue;
            }
            Bytes data(payload, payload + length);
            consume(frameSize);
            dataCallback(data);
            if (!carryOn())
                return true;
            continue;
        }

        if (length != kHandshakeLength) {
            consume(frameSize);
            continue;
        }

        if (readBig32(payload) != handshakeValue(secret)) {
            if (auto error = onError) {
                // The frame stays at the head of the buffer.
                if (inPlace)
                    buffer.assign(frame, chunkEnd);
                error(kMismatchText);
                return false;
            }
            consume(frameSize);
            continue;
        }

        consume(frameSize);
        handshakeComplete = true;
        if (!initiator && !secret.empty()) {
            sendHandshake();
            if (!carryOn())
                return true;
        }
        if (auto verified = onHandshake) {
            verified();
            if (!carryOn())
                return true;
        }
    }

    // Room for the whole frame only once the peer has proved itself: before
    // that, 12 bytes would be enough to make us reserve 16 MiB.
    const bool reserve = waitingFor && handshakeComplete;
    if (inPlace) {
        if (reserve)
            reserveFor(waitingFor);
        buffer.assign(chunk, chunkEnd);
    } else {
        compact();
        if (reserve)
            reserveFor(waitingFor);
    }
    releaseExcess();
    return true;
}

ProtocolLayer::ProtocolLayer(bool initiator)
    : impl(std::make_shared<Impl>(initiator))
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
    impl->onSend = std::move(callback);
    ++impl->callbackVersion;
}

void ProtocolLayer::setOnData(std::function<void(const Bytes &)> callback)
{
    impl->onData = std::move(callback);
    ++impl->callbackVersion;
}

void ProtocolLayer::setOnError(std::function<void(const std::string &)> callback)
{
    impl->onError = std::move(callback);
    ++impl->callbackVersion;
}

void ProtocolLayer::setOnHandshake(std::function<void()> callback)
{
    impl->onHandshake = std::move(callback);
    ++impl->callbackVersion;
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
    auto sender = state->onSend;
    return sender(encodeFrame(data, size, clockNow()));
}

bool ProtocolLayer::processIncoming(const Bytes &bytes)
{
    // Held for the whole call: a callback may drop the last owner of this
    // layer, and from then on only the state is touched.
    const std::shared_ptr<Impl> state = impl;
    return state->receive(bytes);
}

void ProtocolLayer::reset()
{
    auto fresh = std::make_shared<Impl>(impl->initiator);
    fresh->secret = impl->secret;
    fresh->onSend = std::move(impl->onSend);
    fresh->onData = std::move(impl->onData);
    fresh->onError = std::move(impl->onError);
    fresh->onHandshake = std::move(impl->onHandshake);
    impl->retired = true;
    impl = std::move(fresh);
}

} // namespace KNetwork
