// Receive throughput of ProtocolLayer against a byte-sum loop over the same
// bytes, the most a receiver that checks every byte can hope for.
#include "network/protocol_layer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::byte>;

const std::string kSecret = "0123-4567pro.tessaron.bench";
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kMessageBytes = 21;
constexpr std::size_t kFramesPerChunk = kChunkBytes / (kMessageBytes + KNetwork::kFrameOverhead);
constexpr std::size_t kLargePayload = 1024 * 1024;
constexpr std::size_t kReadChunk = 8192;

std::uint32_t now()
{
    return static_cast<std::uint32_t>(std::time(nullptr));
}

void put(Bytes &out, std::uint64_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<std::byte>(value >> shift));
}

// A pointer move as the main app sends it: type 3, length 16, x and y.
Bytes moveMessage(double x, double y)
{
    Bytes m;
    put(m, 3, 1);
    put(m, 16, 4);
    put(m, std::bit_cast<std::uint64_t>(x), 8);
    put(m, std::bit_cast<std::uint64_t>(y), 8);
    return m;
}

Bytes moveFrames()
{
    Bytes chunk;
    for (std::size_t i = 0; i < kFramesPerChunk; ++i) {
        const Bytes m = moveMessage(static_cast<double>(i), 1080.5);
        const Bytes f = KNetwork::encodeFrame(m.data(), m.size(), now());
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    return chunk;
}

Bytes largeFrame()
{
    Bytes payload(kLargePayload);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::byte>(i * 131 + 7);
    return KNetwork::encodeFrame(payload.data(), payload.size(), now());
}

// An established layer whose data callback only counts.
struct Receiver {
    Receiver()
    {
        layer->setSecret(kSecret);
        layer->setOnData([this](const Bytes &payload) {
            ++frames;
            bytes += payload.size();
        });
        const std::uint32_t v = KNetwork::handshakeValue(kSecret);
        Bytes value;
        put(value, v, 4);
        layer->processIncoming(KNetwork::encodeFrame(value.data(), value.size(), now()));
    }

    // Frames refused as stale would make the figures meaningless.
    void report(benchmark::State &state, std::size_t framesPerIteration, std::size_t bytesPerIteration) const
    {
        const auto iterations = static_cast<std::size_t>(state.iterations());
        if (frames != iterations * framesPerIteration)
            state.SkipWithError("frames were dropped");
        state.SetItemsProcessed(static_cast<std::int64_t>(iterations * framesPerIteration));
        state.SetBytesProcessed(static_cast<std::int64_t>(iterations * bytesPerIteration));
    }

    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer = std::make_shared<KNetwork::ProtocolLayer>(true, clock);
    std::size_t frames = 0;
    std::size_t bytes = 0;
};

std::uint32_t plainSum(const Bytes &bytes)
{
    std::uint32_t sum = 0;
    for (std::byte b : bytes)
        sum += std::to_integer<std::uint32_t>(b);
    return sum;
}

// items = frames, so frames/s lines up with the layer's figures.
void sumCeiling(benchmark::State &state, const Bytes &bytes, std::size_t frames, bool library)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(library ? KNetwork::byteSum(bytes.data(), bytes.size()) : plainSum(bytes));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(frames));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void MoveFrames_ProcessIncoming(benchmark::State &state)
{
    Receiver receiver;
    const Bytes chunk = moveFrames();
    for (auto _ : state)
        receiver.layer->processIncoming(chunk);
    receiver.report(state, kFramesPerChunk, chunk.size());
}

void MoveFrames_PlainByteSum(benchmark::State &state)
{
    sumCeiling(state, moveFrames(), kFramesPerChunk, false);
}

void MoveFrames_LibraryByteSum(benchmark::State &state)
{
    sumCeiling(state, moveFrames(), kFramesPerChunk, true);
}

void LargeFrame_ProcessIncoming(benchmark::State &state)
{
    Receiver receiver;
    const Bytes frame = largeFrame();
    for (auto _ : state)
        receiver.layer->processIncoming(frame);
    receiver.report(state, 1, frame.size());
}

// As the socket delivers it: reads of at most 8,192 bytes.
void LargeFrame_ProcessIncomingIn8KiBReads(benchmark::State &state)
{
    Receiver receiver;
    const Bytes frame = largeFrame();
    std::vector<Bytes> reads;
    for (std::size_t at = 0; at < frame.size(); at += kReadChunk)
        reads.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(at),
            frame.begin() + static_cast<std::ptrdiff_t>(std::min(at + kReadChunk, frame.size())));
    for (auto _ : state) {
        for (const Bytes &read : reads)
            receiver.layer->processIncoming(read);
    }
    receiver.report(state, 1, frame.size());
}

void LargeFrame_PlainByteSum(benchmark::State &state)
{
    sumCeiling(state, largeFrame(), 1, false);
}

void LargeFrame_LibraryByteSum(benchmark::State &state)
{
    sumCeiling(state, largeFrame(), 1, true);
}

} // namespace

BENCHMARK(MoveFrames_ProcessIncoming);
BENCHMARK(MoveFrames_PlainByteSum);
BENCHMARK(MoveFrames_LibraryByteSum);
BENCHMARK(LargeFrame_ProcessIncoming);
BENCHMARK(LargeFrame_ProcessIncomingIn8KiBReads);
BENCHMARK(LargeFrame_PlainByteSum);
BENCHMARK(LargeFrame_LibraryByteSum);

BENCHMARK_MAIN();
