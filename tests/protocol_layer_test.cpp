#include "network/protocol_layer.h"
#include "tests/support/frames.h"
#include "tests/support/reliability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

// The largest single allocation while tracking is on: the memory checks read
// it. The replacements pair malloc with free, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static bool gTrack = false;
static std::size_t gLargest = 0;

void *operator new(std::size_t size)
{
    if (gTrack)
        gLargest = std::max(gLargest, size);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

using namespace TestSupport;
using Events = std::vector<std::string>;
using KNetwork::kMaxPayload;
using KNetwork::ProtocolLayer;

constexpr std::uint32_t kNow = 1'700'000'000; // 0x6553F100
const std::string kSecret = "ABCDEF01-2345-6789-ABCD-EF0123456789pro.tessaron";
const Bytes kValue = be32(sumOf(text(kSecret)));

template <class F>
std::size_t largestAllocationDuring(F &&f)
{
    gLargest = 0;
    gTrack = true;
    f();
    gTrack = false;
    return gLargest;
}

struct FakeClock : Platform::Clock {
    std::int64_t now = kNow;
    std::int64_t unixTime() override { return now; }
};

Bytes frame(const Bytes &payload, std::uint32_t ts = kNow)
{
    return TestSupport::frame(payload, ts);
}

Bytes handshake(const std::string &secret, std::uint32_t ts = kNow)
{
    return TestSupport::handshake(secret, ts);
}

// What a layer raises, in order: D data, E error, S sent, H handshake.
std::string event(char kind, const Bytes &bytes = {})
{
    return kind + std::string(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

std::string data(const std::string &s)
{
    return "D" + s;
}

const std::string kExpired = "EFrame expired or timestamp invalid";
const std::string kMismatch = "EHandshake failed: secret mismatch";
const std::string kVerified = "H";

// A layer on its own clock that records what it raises; each callback calls
// the hook first.
struct Link {
    explicit Link(bool initiator = true, const std::string &secret = kSecret, bool errorCallback = true)
        : layer(std::make_shared<ProtocolLayer>(initiator, clock))
    {
        layer->setSecret(secret);
        layer->setOnSend([this](const Bytes &f) {
            hook('S');
            events.push_back(event('S', f));
            return sendResult;
        });
        layer->setOnData([this](const Bytes &d) {
            hook('D');
            events.push_back(event('D', d));
        });
        if (errorCallback) {
            layer->setOnError([this](const std::string &e) {
                hook('E');
                events.push_back("E" + e);
            });
        }
        layer->setOnHandshake([this] {
            hook('H');
            events.push_back(kVerified);
        });
    }
    // An exact-size copy, so reading past its end faults under ASan.
    bool feed(const Bytes &b) { return layer->processIncoming(Bytes(b.begin(), b.end())); }
    bool send(const Bytes &b) { return layer->send(b.data(), b.size()); }
    void establish()
    {
        EXPECT_TRUE(feed(handshake(kSecret)));
        EXPECT_EQ(events.back(), kVerified);
        events.clear();
    }

    FakeClock clock;
    std::shared_ptr<ProtocolLayer> layer;
    Events events;
    bool sendResult = true;
    std::function<void(char)> hook = [](char) {};
};

// --- Scripts: steps on one layer and every event it raises ---------------------

struct Step {
    char op; // F feed, S send, H startHandshake, R reset, L sends are lost
    Bytes bytes = {};
    bool result = true;
};

struct Script {
    const char *name;
    std::vector<Step> steps;
    Events events = {};
    bool established = true;
    bool initiator = true;
    std::string secret = kSecret;
    bool errorCallback = true;
    std::int64_t clock = kNow;
    // The largest allocation the steps may make.
    std::size_t allocation = std::numeric_limits<std::size_t>::max();
    // For the reliability report: the bad input, and what the layer did.
    const char *trial = nullptr, *outcome = nullptr;
};

// "bad" sums to 0x127.
const Bytes kBadSum = join({TestSupport::frame(text("bad"), kNow, 0x126), frame(text("good"))});
const Bytes kOversize = join({be32(kMaxPayload + 1), be32(kNow), be32(0)});
const Bytes kMismatched = join({handshake("another secret"), handshake(kSecret)});
const Bytes kPartial = frame(Bytes(20, std::byte{'a'}));
const Bytes kAbc = bytes({0, 0, 0, 3, 0x65, 0x53, 0xF1, 0x00, 0x61, 0x62, 0x63, 0, 0, 0x01, 0x26});

const Script kScripts[] = {
    {.name = "SendsTheDocumentedBytesOnlyOnceVerified",
        .steps = {{'S', text("early"), false}, {'F', handshake(kSecret)}, {'S', text("abc")}, {'S', {}}, {'L'},
            {'S', text("lost"), false}},
        .events = {kVerified, event('S', kAbc), event('S', bytes({0, 0, 0, 0, 0x65, 0x53, 0xF1, 0, 0, 0, 0, 0})),
            event('S', frame(text("lost")))},
        .established = false},
    // The frames after a bad checksum wait, unexamined, for the next call.
    {.name = "ChecksumMismatch", .steps = {{'F', kBadSum, false}, {'F', {}}}, .events = {data("good")},
        .trial = "a frame with a wrong checksum before a good one",
        .outcome = "dropped it, kept the good one for the next look, which delivered it"},
    {.name = "EmptyPayloadCarriesChecksumZero", .steps = {{'F', TestSupport::frame({}, kNow, 1), false}}},
    // Decided on the header: an oversize length discards every buffered byte.
    {.name = "OversizeDiscardsTheBuffer",
        .steps = {{'F', join({frame(text("A")), slice(kOversize, 0, 11)})},
            {'F', join({slice(kOversize, 11, 12), frame(text("B"))}), false}, {'F', frame(text("C"))}},
        .events = {data("A"), data("C")}, .trial = "a length above 16 MiB, cut across two reads",
        .outcome = "discarded everything buffered with it; the frames after it arrived"},
    // Nothing is allocated for a refused length, nor reserved before the handshake.
    {.name = "LargestLengthIsRefused", .steps = {{'F', join({be32(0xFFFFFFFF), be32(kNow), be32(0)}), false}},
        .allocation = 64, .trial = "a frame length of 0xFFFFFFFF", .outcome = "refused it, allocating nothing for it"},
    {.name = "BeforeTheHandshakeAClaimedLengthReservesNothing",
        .steps = {{'F', join({be32(kMaxPayload), be32(kNow), be32(0)})}}, .established = false, .allocation = 64,
        .trial = "a 16 MiB length before the handshake", .outcome = "reserved nothing for an unproven peer"},
    {.name = "BeforeTheHandshakeOnlyLengthFourCountsAfterItAllIsData",
        .steps = {{'F', join({frame(text("five!")), frame({}), frame(text("abc")), handshake(kSecret), frame(be32(7)),
            handshake(kSecret)})}},
        .events = {kVerified, event('D', be32(7)), event('D', kValue)}, .established = false},
    // The mismatching frame stays at the head of the buffer: each call meets
    // it again, first in place, then buffered.
    {.name = "Mismatch", .steps = {{'F', kMismatched, false}, {'F', {}, false}, {'F', {}, false}},
        .events = {kMismatch, kMismatch, kMismatch}, .established = false,
        .trial = "a handshake value of another secret", .outcome = "reported the mismatch; never verified"},
    {.name = "MismatchWithoutErrorCallbackIsDropped", .steps = {{'F', kMismatched}}, .events = {kVerified},
        .established = false, .errorCallback = false},
    // Stale frames are reported, not compared, and the chunk goes on.
    {.name = "StaleHandshakes",
        .steps = {{'F', join({handshake("wrong", kNow - 31), handshake(kSecret, kNow + 6), handshake(kSecret)})}},
        .events = {kExpired, kExpired, kVerified}, .established = false,
        .trial = "handshakes 31 s old and 6 s ahead", .outcome = "reported each as stale, verified the fresh one"},
    // The layer keeps the low 32 bits of the clock.
    {.name = "StaleWithoutErrorCallbackIsDroppedAndTheClockKeepsItsLow32Bits",
        .steps = {{'F', join({frame(text("old"), kNow - 31), frame(text("new"))})}}, .events = {data("new")},
        .errorCallback = false, .clock = (std::int64_t{1} << 32) + kNow},
    // Without a secret neither side opens or answers; an empty secret
    // matches the value zero.
    {.name = "InitiatorWithoutSecret", .steps = {{'H'}, {'F', handshake("")}}, .events = {kVerified},
        .established = false, .secret = ""},
    {.name = "NonInitiatorWithoutSecret", .steps = {{'H'}, {'F', handshake("")}}, .events = {kVerified},
        .established = false, .initiator = false, .secret = ""},
    // Both make the link unverified again; only reset() drops a partial
    // frame, whose rest then reads as an oversize length. Secret, role and
    // callbacks stay.
    {.name = "Restart",
        .steps = {{'F', slice(kPartial, 0, 10)}, {'H'}, {'S', text("gated"), false},
            {'F', slice(kPartial, 10, kPartial.size())},
            {'F', join({frame(text("dropped")), handshake(kSecret), frame(text("again"))})}, {'S', text("z")}},
        .events = {event('S', handshake(kSecret)), kVerified, data("again"), event('S', frame(text("z")))}},
    {.name = "Reset",
        .steps = {{'F', slice(kPartial, 0, 10)}, {'R'}, {'S', text("gated"), false},
            {'F', slice(kPartial, 10, kPartial.size()), false},
            {'F', join({frame(text("old"), kNow - 31), frame(text("dropped")), handshake(kSecret),
                frame(text("again"))})},
            {'H'}},
        .events = {kExpired, event('S', handshake(kSecret)), kVerified, data("again")}, .initiator = false},
};

class Scripted : public testing::TestWithParam<Script> {};

TEST_P(Scripted, RaisesExactlyTheseEvents)
{
    const Script &c = GetParam();
    Link link(c.initiator, c.secret, c.errorCallback);
    link.clock.now = c.clock;
    if (c.established)
        link.establish();
    const std::size_t largest = largestAllocationDuring([&] {
        for (const Step &step : c.steps) {
            if (step.op == 'F')
                EXPECT_EQ(link.feed(step.bytes), step.result);
            else if (step.op == 'S')
                EXPECT_EQ(link.send(step.bytes), step.result);
            else if (step.op == 'H')
                link.layer->startHandshake();
            else if (step.op == 'R')
                link.layer->reset();
            else
                link.sendResult = false;
        }
    });
    EXPECT_EQ(link.events, c.events);
    EXPECT_LE(largest, c.allocation);
    if (c.trial)
        TestSupport::recordTrial(c.trial, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Steps, Scripted, testing::ValuesIn(kScripts),
    [](const auto &info) { return std::string(info.param.name); });

// --- Frames, sums and freshness ---------------------------------------------------

// Each prefix ends its buffer, so a read past what the parser was given
// faults under ASan.
TEST(FrameParser, EveryPrefixWaitsAndTheWholeFrameIsCutInPlace)
{
    using KNetwork::FrameStatus;
    const Bytes f = frame(text("payload"));
    for (std::size_t n = 0; n <= f.size(); ++n) {
        const Bytes prefix = slice(f, 0, n);
        const KNetwork::ParsedFrame parsed = KNetwork::parseFrame(prefix);
        SCOPED_TRACE(n);
        EXPECT_EQ(parsed.status, n < f.size() ? FrameStatus::Incomplete : FrameStatus::Complete);
        EXPECT_EQ(parsed.size, n < 12 ? 0 : f.size());
        if (n == f.size()) {
            EXPECT_EQ(parsed.timestamp, kNow);
            EXPECT_EQ(parsed.payload.data(), prefix.data() + 8);
            EXPECT_EQ(parsed.payload.size(), 7u);
            EXPECT_TRUE(parsed.checksumMatches);
        }
    }
    EXPECT_FALSE(KNetwork::parseFrame(TestSupport::frame(text("payload"), kNow, 0)).checksumMatches);
    EXPECT_EQ(KNetwork::parseFrame(kOversize).status, FrameStatus::Oversize);
}

TEST(FrameParser, ByteSumAddsUnsignedBytesModulo2To32)
{
    // Runs of 0xFF across the block edges; a signed char would subtract.
    for (std::size_t n : {0, 1, 255, 256, 257, 511, 4099, 70000}) {
        const Bytes b(n, std::byte{0xFF});
        EXPECT_EQ(KNetwork::byteSum(b.data(), n), 255u * n) << n;
    }
    const Bytes wraps(16'843'010, std::byte{0xFF}); // 255 * n = 2^32 + 254
    EXPECT_EQ(KNetwork::byteSum(wraps.data(), wraps.size()), 254u);
    EXPECT_EQ(KNetwork::handshakeValue("\x80\x01"), 0x81u);
}

// Serial numbers: across the wrap of the 32-bit clock (2106) the window is
// the same as anywhere.
TEST(FrameParser, FreshnessWindowIsThirtySecondsBackAndFiveAhead)
{
    const struct {
        std::uint32_t now, timestamp;
        bool fresh;
    } cases[] = {{kNow, kNow - 30, true}, {kNow, kNow - 31, false}, {kNow, kNow + 5, true}, {kNow, kNow + 6, false},
        // Just after the wrap: stamped before it, 30 and 31 seconds old.
        {10, 0xFFFFFFEC, true}, {10, 0xFFFFFFEB, false}, {3, 0, true},
        // Just before it: the current second, and 5 and 6 seconds ahead.
        {0xFFFFFFE2, 0xFFFFFFE2, true}, {0xFFFFFFFE, 0xFFFFFFFE, true}, {0xFFFFFFFE, 3, true}, {0xFFFFFFFE, 4, false},
        {0xFFFFFFFE, 0xFFFFFFE0, true}, {0xFFFFFFFE, 0xFFFFFFDF, false}};
    for (const auto &c : cases)
        EXPECT_EQ(KNetwork::isFresh(c.timestamp, c.now), c.fresh) << c.now << " " << c.timestamp;
}

// --- Chunking and memory -----------------------------------------------------------

// Every pair of cut points (both at one place: a single cut), then one byte
// per call: after each call exactly the frames wholly fed so far are out.
TEST(ProtocolLayer, AnyChunkingDeliversFramesWholeAndInOrder)
{
    const std::vector<Bytes> payloads = {text("first"), {}, be32(0xDEADBEEF), Bytes(40, std::byte{0xA5})};
    Bytes stream;
    std::vector<std::size_t> ends;
    for (const Bytes &p : payloads) {
        stream = join({stream, frame(p)});
        ends.push_back(stream.size());
    }
    auto feedCutAt = [&](const std::vector<std::size_t> &cuts) {
        Link link;
        link.establish();
        std::size_t from = 0;
        Events expected;
        for (std::size_t to : cuts) {
            EXPECT_TRUE(link.feed(slice(stream, from, to)));
            from = to;
            while (expected.size() < ends.size() && ends[expected.size()] <= to)
                expected.push_back(event('D', payloads[expected.size()]));
            ASSERT_EQ(link.events, expected) << testing::PrintToString(cuts);
        }
    };
    for (std::size_t i = 0; i <= stream.size() && !HasFailure(); ++i)
        for (std::size_t j = i; j <= stream.size() && !HasFailure(); ++j)
            feedCutAt({i, j, stream.size()});
    std::vector<std::size_t> everyByte(stream.size());
    std::iota(everyByte.begin(), everyByte.end(), 1);
    feedCutAt(everyByte);
    TestSupport::recordTrial("frames cut at every pair of points, and one byte per read",
        "delivered every frame whole and in order, each once it was complete");
}

// The largest payload travels in read-sized chunks; one byte more is refused.
TEST(ProtocolLayer, LargestPayloadRoundTripsAndOneMoreIsRefused)
{
    Link link;
    link.establish();
    Bytes big(kMaxPayload + 1);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::byte>(i * 7 + i / 251);
    EXPECT_FALSE(link.send(big));
    EXPECT_TRUE(KNetwork::encodeFrame(big.data(), big.size(), kNow).empty());
    big.pop_back();
    const Bytes wire = KNetwork::encodeFrame(big.data(), big.size(), kNow);
    ASSERT_EQ(wire.size(), kMaxPayload + 12);
    EXPECT_EQ(slice(wire, 0, 4), bytes({0x01, 0, 0, 0}));
    for (std::size_t at = 0; at < wire.size(); at += KNetwork::kReadChunk)
        EXPECT_TRUE(link.feed(slice(wire, at, std::min(at + KNetwork::kReadChunk, wire.size()))));
    EXPECT_TRUE(link.events == Events{event('D', big)});
    TestSupport::recordTrial("a 16 MiB payload in read-sized chunks, and one byte more",
        "the largest arrived whole; one byte more was refused");
}

// After the first byte no call ends on a frame edge, so the buffer never runs
// empty and only compaction keeps it short; without it, it would hold all
// 330 kB of the stream.
TEST(ProtocolLayer, LongStreamInOddChunksKeepsTheBufferSmall)
{
    Link link;
    link.establish();
    Bytes stream;
    for (std::uint32_t i = 0; i < 10'000; ++i) {
        const Bytes f = frame(join({be32(i), Bytes(17, std::byte{3})}));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    std::uint32_t delivered = 0;
    link.layer->setOnData([&](const Bytes &p) { EXPECT_EQ(slice(p, 0, 4), be32(delivered++)); });
    const std::size_t sizes[] = {20, 46, 7, 59};
    const std::size_t largest = largestAllocationDuring([&] {
        link.feed(slice(stream, 0, 1));
        for (std::size_t at = 1, k = 0; at < stream.size(); at += sizes[k++ % 4])
            link.feed(slice(stream, at, std::min(at + sizes[k % 4], stream.size())));
    });
    EXPECT_EQ(delivered, 10'000u);
    EXPECT_LT(largest, 32u * 1024);
}

// --- Callbacks that act on the layer -----------------------------------------------

struct ActCase {
    const char *name;
    char callback; // the one that acts, once: S send, H handshake, E error, D data
    void (*act)(Link &);
    Events events;
    char call = 'F'; // what raises it: F feeding the chunk, S a send, H startHandshake
    bool initiator = true;
};

const Bytes kChunk = join(
    {handshake(kSecret), frame(text("stale"), kNow - 31), frame(text("one")), handshake(kSecret), frame(text("two"))});
const Bytes kE = frame(text("E"));
const std::string kSentHandshake = event('S', handshake(kSecret));

void drop(Link &l)
{
    l.layer.reset();
}

const ActCase kActs[] = {
    // The owner lets go of the layer: under ASan any later touch of it faults.
    {"DropInSendAnswering", 'S', drop, {kSentHandshake}, 'F', false},
    {"DropInHandshake", 'H', drop, {kVerified}},
    {"DropInError", 'E', drop, {kVerified, kExpired}},
    {"DropInData", 'D', drop, {kVerified, kExpired, data("one")}},
    {"DropInSendDuringSend", 'S', drop, {event('S', frame(text("x")))}, 'S'},
    {"DropInSendDuringStartHandshake", 'S', drop, {kSentHandshake}, 'H'},
    // reset() drops the rest of the chunk; startHandshake() only gates it.
    {"ResetInData", 'D', [](Link &l) { l.layer->reset(); }, {kVerified, kExpired, data("one")}},
    {"RestartInData", 'D', [](Link &l) { l.layer->startHandshake(); },
        {kVerified, kExpired, kSentHandshake, data("one"), kVerified, data("two")}},
    // Bytes fed from a callback follow the current chunk.
    {"FeedInData", 'D', [](Link &l) { EXPECT_TRUE(l.feed(join({frame(text("D")), slice(kE, 0, 5)}))); },
        {kVerified, kExpired, data("one"), event('D', kValue), data("two"), data("D"), data("E")}},
};

class FromACallback : public testing::TestWithParam<ActCase> {};

// Frames read in place from the chunk, or from the buffer. Each callback
// acts before it records, so the rest of the call runs on what it left.
TEST_P(FromACallback, TheLayerEndsTheCallOrGoesOnAsTold)
{
    const ActCase &c = GetParam();
    for (std::size_t buffered : {0, 3}) {
        SCOPED_TRACE(buffered);
        Link link(c.initiator);
        if (c.call == 'S')
            link.establish();
        bool acted = false;
        link.hook = [&](char callback) {
            if (callback == c.callback && !std::exchange(acted, true))
                c.act(link);
        };
        if (c.call == 'F') {
            EXPECT_TRUE(link.feed(slice(kChunk, 0, buffered)));
            EXPECT_TRUE(link.feed(slice(kChunk, buffered, kChunk.size())));
        } else if (c.call == 'S') {
            EXPECT_TRUE(link.send(text("x")));
        } else {
            link.layer->startHandshake();
        }
        if (link.layer) {
            EXPECT_TRUE(link.feed(slice(kE, 5, kE.size())));
        }
        EXPECT_EQ(link.events, c.events);
    }
}

INSTANTIATE_TEST_SUITE_P(Lifetime, FromACallback, testing::ValuesIn(kActs),
    [](const auto &info) { return std::string(info.param.name); });

// The new callback takes the next payload, while the running one lives on.
TEST(ProtocolLayer, DataCallbackMayReplaceItselfMidChunk)
{
    Link link;
    link.establish();
    const std::string tag(64, 'x'); // on the heap: a closure freed while it runs reads it as garbage
    link.layer->setOnData([&link, tag](const Bytes &) {
        link.layer->setOnData([&link](const Bytes &d) { link.events.push_back(event('D', d)); });
        link.events.push_back(tag);
    });
    EXPECT_TRUE(link.feed(join({frame(text("a")), frame(text("b"))})));
    EXPECT_EQ(link.events, (Events{tag, data("b")}));
}

} // namespace
