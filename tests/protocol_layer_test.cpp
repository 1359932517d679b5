#include "network/protocol_layer.h"
#include "tests/support/frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <vector>

// The largest single allocation while tracking is on: the memory tests read
// it. The replacements pair malloc with free, which GCC cannot see through
// once it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
bool gTrackAllocations = false;
std::size_t gLargestAllocation = 0;
} // namespace

void *operator new(std::size_t size)
{
    if (gTrackAllocations)
        gLargestAllocation = std::max(gLargestAllocation, size);
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
using Payloads = std::vector<Bytes>;
using Errors = std::vector<std::string>;
using KNetwork::kMaxPayload;
using KNetwork::ProtocolLayer;

constexpr std::uint32_t kNow = 1'700'000'000; // 0x6553F100
constexpr std::int64_t k2To32 = std::int64_t{1} << 32;
const std::string kSecret = "ABCDEF01-2345-6789-ABCD-EF0123456789pro.tessaron";
const std::string kExpired = "Frame expired or timestamp invalid";
const std::string kMismatch = "Handshake failed: secret mismatch";

template <class F>
std::size_t largestAllocationDuring(F &&f)
{
    gLargestAllocation = 0;
    gTrackAllocations = true;
    f();
    gTrackAllocations = false;
    return gLargestAllocation;
}

struct FakeClock : Platform::Clock {
    std::int64_t now = kNow;
    std::int64_t unixTime() override { return now; }
};

// Every layer of a test reads this clock; each test starts it at kNow.
FakeClock gClock;

Bytes frame(const Bytes &payload, std::uint32_t ts = kNow, std::optional<std::uint32_t> checksum = {})
{
    return TestSupport::frame(payload, ts, checksum);
}

Bytes handshake(const std::string &secret, std::uint32_t ts = kNow)
{
    return TestSupport::handshake(secret, ts);
}

// A layer whose callbacks record what it raises.
class Link {
public:
    explicit Link(bool initiator = true, const std::string &secret = kSecret, bool errorCallback = true)
        : layer(std::make_shared<ProtocolLayer>(initiator, gClock))
    {
        layer->setSecret(secret);
        layer->setOnSend([this](const Bytes &f) {
            sent.push_back(f);
            return sendResult;
        });
        layer->setOnData([this](const Bytes &d) { data.push_back(d); });
        if (errorCallback)
            layer->setOnError([this](const std::string &e) { errors.push_back(e); });
        layer->setOnHandshake([this] { ++handshakes; });
    }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // An exact-size copy, so reading past its end faults under ASan.
    bool feed(const Bytes &b) { return layer->processIncoming(Bytes(b.begin(), b.end())); }
    bool sendText(const std::string &s)
    {
        const Bytes b = text(s);
        return layer->send(b.data(), b.size());
    }
    void establish()
    {
        EXPECT_TRUE(feed(handshake(kSecret)));
        EXPECT_EQ(handshakes, 1);
        sent.clear();
    }

    std::shared_ptr<ProtocolLayer> layer;
    Payloads sent;
    Payloads data;
    Errors errors;
    int handshakes = 0;
    bool sendResult = true;
};

class ProtocolLayerTest : public testing::Test {
protected:
    void SetUp() override { clock.now = kNow; }
    FakeClock &clock = gClock;
};

// --- Wire format and chunking -----------------------------------------------

TEST_F(ProtocolLayerTest, AbcTravelsExactlyAsDocumented)
{
    const Bytes expected = bytes({0, 0, 0, 3, 0x65, 0x53, 0xF1, 0x00, 0x61, 0x62, 0x63, 0, 0, 0x01, 0x26});
    Link link;
    link.establish();
    ASSERT_TRUE(link.sendText("abc"));
    EXPECT_EQ(link.sent, Payloads{expected});
    const Bytes abc = text("abc");
    EXPECT_EQ(KNetwork::encodeFrame(abc.data(), abc.size(), kNow), expected);
}

// Each prefix ends its buffer, so a read past what the parser was given
// faults under ASan.
TEST(FrameParser, EveryPrefixWaitsAndTheWholeFrameIsCutInPlace)
{
    using KNetwork::FrameStatus;
    const Bytes f = frame(text("payload"), kNow);
    for (std::size_t n = 0; n <= f.size(); ++n) {
        const Bytes prefix = slice(f, 0, n);
        const KNetwork::ParsedFrame parsed = KNetwork::parseFrame(prefix);
        SCOPED_TRACE(n);
        if (n < f.size()) {
            EXPECT_EQ(parsed.status, FrameStatus::Incomplete);
            EXPECT_EQ(parsed.size, n < 12 ? 0 : f.size());
            continue;
        }
        EXPECT_EQ(parsed.status, FrameStatus::Complete);
        EXPECT_EQ(parsed.size, f.size());
        EXPECT_EQ(parsed.timestamp, kNow);
        EXPECT_EQ(parsed.payload.data(), prefix.data() + 8);
        EXPECT_EQ(parsed.payload.size(), 7u);
        EXPECT_TRUE(parsed.checksumMatches);
    }
    EXPECT_FALSE(KNetwork::parseFrame(frame(text("payload"), kNow, 0)).checksumMatches);
    const Bytes header = join({be32(kMaxPayload + 1), be32(kNow), be32(0)});
    EXPECT_EQ(KNetwork::parseFrame(header).status, FrameStatus::Oversize);
}

TEST(ByteSum, AddsUnsignedBytesModulo2To32)
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

TEST_F(ProtocolLayerTest, OneBytePerCallDeliversOnceAfterTheLastByte)
{
    Link link;
    link.establish();
    const Bytes f = frame(text("xy"));
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_TRUE(link.feed(slice(f, i, i + 1)));
        EXPECT_EQ(link.data.size(), i + 1 == f.size() ? 1u : 0u) << i;
    }
}

// Covers every single split point too (i == j); with both cuts at 0 all four
// frames arrive in one call.
TEST_F(ProtocolLayerTest, AnyTwoCutsKeepFramesWholeAndInOrder)
{
    const Payloads payloads = {text("first"), {}, be32(0xDEADBEEF), Bytes(40, std::byte{0xA5})};
    const Bytes stream = join({frame(payloads[0]), frame(payloads[1]), frame(payloads[2]), frame(payloads[3])});
    for (std::size_t i = 0; i <= stream.size(); ++i) {
        for (std::size_t j = i; j <= stream.size(); ++j) {
            Link link;
            link.establish();
            link.feed(slice(stream, 0, i));
            link.feed(slice(stream, i, j));
            EXPECT_TRUE(link.feed(slice(stream, j, stream.size())));
            ASSERT_EQ(link.data, payloads) << i << ", " << j;
        }
    }
}

// --- Freshness ----------------------------------------------------------------

struct FreshnessCase {
    const char *name;
    std::int64_t clock;
    std::uint32_t timestamp;
    bool accepted;
    // A fresh frame behind the probe in the same chunk, where one exists.
    std::optional<std::uint32_t> follower;
};

// Across the wrap of the 32-bit clock the window is the same as anywhere.
const FreshnessCase kFreshness[] = {
    {"ThirtySecondsOld", kNow, kNow - 30, true, kNow},
    {"ThirtyOneSecondsOld", kNow, kNow - 31, false, kNow},
    {"FiveSecondsAhead", kNow, kNow + 5, true, kNow},
    {"SixSecondsAhead", kNow, kNow + 6, false, kNow},
    {"ClockKeepsItsLow32Bits", k2To32 + kNow, kNow, true, kNow},
    {"JustAfterTheWrapThirtySecondsOldPasses", 10, 0xFFFFFFEC, true, 10},
    {"JustAfterTheWrapThirtyOneSecondsOldIsRefused", 10, 0xFFFFFFEB, false, 10},
    {"JustAfterTheWrapNewFramesPass", 3, 0, true, 3},
    {"AtTheWrapTheCurrentSecondPasses", k2To32 - 30, 0xFFFFFFE2, true, 0xFFFFFFC4},
    {"BeforeTheWrapFiveAheadAcrossItPasses", k2To32 - 2, 3, true, 0xFFFFFFE0},
    {"BeforeTheWrapSixAheadAcrossItIsRefused", k2To32 - 2, 4, false, 0xFFFFFFFE},
};

class Freshness : public ProtocolLayerTest, public testing::WithParamInterface<FreshnessCase> {};

TEST_P(Freshness, StaleFramesAreReportedAndTheChunkGoesOn)
{
    const FreshnessCase &c = GetParam();
    Link link;
    link.establish();
    clock.now = c.clock;
    const Bytes follower = c.follower ? frame(text("next"), *c.follower) : Bytes{};
    EXPECT_TRUE(link.feed(join({frame(text("probe"), c.timestamp), follower})));
    Payloads expected;
    if (c.accepted)
        expected.push_back(text("probe"));
    if (c.follower)
        expected.push_back(text("next"));
    EXPECT_EQ(link.data, expected);
    EXPECT_EQ(link.errors, c.accepted ? Errors{} : Errors{kExpired});
}

INSTANTIATE_TEST_SUITE_P(Window, Freshness, testing::ValuesIn(kFreshness),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ProtocolLayerTest, StaleHandshakeIsDroppedAsStaleNotCompared)
{
    Link link;
    EXPECT_TRUE(link.feed(join({handshake("wrong", kNow - 31), handshake(kSecret, kNow + 6)})));
    EXPECT_EQ(link.errors, (Errors{kExpired, kExpired}));
    EXPECT_EQ(link.handshakes, 0);
}

// --- Length limit -------------------------------------------------------------

struct LengthCase {
    const char *name;
    std::uint32_t length;
    bool established;
    bool waits;
};

const LengthCase kLengths[] = {
    {"AtTheLimitWaitsForThePayload", 16'777'216, true, true},
    {"OneOverTheLimitIsRefused", 16'777'217, true, false},
    {"LargestFieldIsRefused", 0xFFFFFFFF, true, false},
    {"BeforeTheHandshakeAClaimedLengthReservesNothing", 16'777'216, false, true},
};

class LengthLimit : public ProtocolLayerTest, public testing::WithParamInterface<LengthCase> {};

// Decided on the first 12 bytes, and nothing is allocated for a refused length.
TEST_P(LengthLimit, IsCheckedBeforeWaitingOrAllocating)
{
    const LengthCase &c = GetParam();
    Link link;
    if (c.established)
        link.establish();
    bool result = false;
    const std::size_t largest =
        largestAllocationDuring([&] { result = link.feed(join({be32(c.length), be32(kNow), be32(0)})); });
    EXPECT_EQ(result, c.waits);
    EXPECT_LE(largest, c.waits && c.established ? kMaxPayload + KNetwork::kFrameOverhead + 8192 : 64);
    EXPECT_TRUE(link.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Header, LengthLimit, testing::ValuesIn(kLengths),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ProtocolLayerTest, OversizeLengthDiscardsEveryBufferedByte)
{
    Link link;
    link.establish();
    const Bytes oversize = join({be32(16'777'217), be32(kNow), be32(0)});
    EXPECT_TRUE(link.feed(join({frame(text("A")), slice(oversize, 0, 11)})));
    EXPECT_FALSE(link.feed(join({slice(oversize, 11, 12), frame(text("B"))})));
    EXPECT_TRUE(link.feed(frame(text("C"))));
    EXPECT_EQ(link.data, (Payloads{text("A"), text("C")}));
}

TEST_F(ProtocolLayerTest, LargestPayloadRoundTripsAndOneMoreIsRefused)
{
    Link helper, mainApp(false);
    helper.establish();
    mainApp.establish();
    Bytes big(kMaxPayload + 1);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::byte>(i * 7 + i / 251);
    EXPECT_FALSE(helper.layer->send(big.data(), big.size()));
    EXPECT_TRUE(KNetwork::encodeFrame(big.data(), big.size(), kNow).empty());
    EXPECT_TRUE(helper.sent.empty());

    ASSERT_TRUE(helper.layer->send(big.data(), kMaxPayload));
    ASSERT_EQ(helper.sent.size(), 1u);
    const Bytes &wire = helper.sent[0];
    ASSERT_EQ(wire.size(), kMaxPayload + 12);
    EXPECT_EQ(slice(wire, 0, 4), bytes({0x01, 0, 0, 0}));
    for (std::size_t at = 0; at < wire.size(); at += 8192)
        EXPECT_TRUE(mainApp.feed(slice(wire, at, std::min(at + 8192, wire.size()))));
    ASSERT_EQ(mainApp.data.size(), 1u);
    EXPECT_TRUE(std::equal(big.begin(), big.end() - 1, mainApp.data[0].begin(), mainApp.data[0].end()));
}

// --- Checksum and empty payloads ------------------------------------------------

TEST_F(ProtocolLayerTest, ChecksumMismatchStopsAndLeavesTheRestForTheNextCall)
{
    // "bad" sums to 0x127.
    const Bytes stream = join({frame(text("bad"), kNow, 0x126), frame(text("good"))});
    for (std::size_t buffered : {std::size_t{0}, std::size_t{1}}) {
        Link link;
        link.establish();
        EXPECT_TRUE(link.feed(slice(stream, 0, buffered)));
        EXPECT_FALSE(link.feed(slice(stream, buffered, stream.size())));
        EXPECT_TRUE(link.data.empty());
        EXPECT_TRUE(link.errors.empty());
        EXPECT_TRUE(link.feed({}));
        EXPECT_EQ(link.data, Payloads{text("good")}) << buffered;
    }
}

TEST_F(ProtocolLayerTest, EmptyPayloadCarriesChecksumZero)
{
    Link link;
    link.establish();
    EXPECT_FALSE(link.feed(frame({}, kNow, 1)));
    EXPECT_TRUE(link.data.empty());
    ASSERT_TRUE(link.layer->send(nullptr, 0));
    EXPECT_EQ(link.sent, Payloads{bytes({0, 0, 0, 0, 0x65, 0x53, 0xF1, 0, 0, 0, 0, 0})});
}

// --- Handshake ------------------------------------------------------------------

TEST_F(ProtocolLayerTest, SendNeedsTheHandshakeAndACallbackAndReportsItsResult)
{
    Link link;
    EXPECT_FALSE(link.sendText("early"));
    EXPECT_TRUE(link.sent.empty());
    link.establish();
    link.sendResult = false;
    EXPECT_FALSE(link.sendText("lost"));
    EXPECT_EQ(link.sent.size(), 1u);
    link.layer->setOnSend(nullptr);
    EXPECT_FALSE(link.sendText("nowhere"));
}

TEST_F(ProtocolLayerTest, BeforeTheHandshakeOnlyLengthFourCountsAfterItAllIsData)
{
    Link link;
    EXPECT_TRUE(link.feed(join({frame(text("five!")), frame({}), frame(text("abc")), handshake(kSecret),
        frame(be32(7)), handshake(kSecret)})));
    EXPECT_EQ(link.handshakes, 1);
    EXPECT_EQ(link.data, (Payloads{be32(7), be32(sumOf(text(kSecret)))}));
    EXPECT_TRUE(link.errors.empty());
}

TEST_F(ProtocolLayerTest, MismatchWithErrorCallbackStopsAndKeepsTheFrame)
{
    const Bytes stream = join({handshake("another secret"), handshake(kSecret)});
    for (std::size_t buffered : {std::size_t{0}, std::size_t{5}}) {
        Link link;
        EXPECT_TRUE(link.feed(slice(stream, 0, buffered)));
        EXPECT_FALSE(link.feed(slice(stream, buffered, stream.size())));
        EXPECT_EQ(link.errors, Errors{kMismatch});
        // Still at the head of the buffer, so the next call meets it again.
        EXPECT_FALSE(link.feed({}));
        EXPECT_EQ(link.errors.size(), 2u);
        EXPECT_EQ(link.handshakes, 0);
    }
}

// Compared with the secret in force, not the one the layer was made with.
TEST_F(ProtocolLayerTest, MismatchWithoutErrorCallbackIsDroppedAndTheNextFrameCounts)
{
    Link link(true, "first", false);
    link.layer->setSecret("second");
    EXPECT_TRUE(link.feed(join({handshake("first"), handshake("second")})));
    EXPECT_EQ(link.handshakes, 1);
    EXPECT_TRUE(link.data.empty());
}

struct RoleCase {
    bool initiator;
    std::string secret;
    bool opens;   // sends its handshake on startHandshake()
    bool answers; // sends its handshake on the peer's, before the callback
};

TEST_F(ProtocolLayerTest, OnlyAnInitiatorWithASecretOpensAndOnlyANonInitiatorWithOneAnswers)
{
    ASSERT_NE(sumOf(text(kSecret)), 0u);
    const RoleCase cases[] = {{true, kSecret, true, false}, {true, "", false, false}, {false, kSecret, false, true},
        {false, "", false, false}};
    for (const RoleCase &c : cases) {
        SCOPED_TRACE(std::to_string(c.initiator) + " '" + c.secret + "'");
        Link link(c.initiator, c.secret);
        link.layer->startHandshake();
        EXPECT_EQ(link.sent, c.opens ? Payloads{handshake(c.secret)} : Payloads{});
        link.sent.clear();
        std::size_t sentWhenVerified = 99;
        link.layer->setOnHandshake([&] { sentWhenVerified = link.sent.size(); });
        // An empty secret matches the value zero.
        EXPECT_TRUE(link.feed(handshake(c.secret)));
        EXPECT_EQ(sentWhenVerified, c.answers ? 1u : 0u);
        EXPECT_EQ(link.sent, c.answers ? Payloads{handshake(c.secret)} : Payloads{});
    }
}

TEST_F(ProtocolLayerTest, StartHandshakeUndoesAnEarlierVerification)
{
    Link link;
    EXPECT_TRUE(link.feed(handshake(kSecret)));
    EXPECT_TRUE(link.sendText("x"));
    link.layer->startHandshake();
    EXPECT_FALSE(link.sendText("y"));
    EXPECT_TRUE(link.feed(join({frame(text("dropped")), handshake(kSecret)})));
    EXPECT_TRUE(link.data.empty());
    EXPECT_EQ(link.handshakes, 2);
    EXPECT_TRUE(link.sendText("z"));
}

// --- Reset and callbacks that act on the layer ----------------------------------

TEST_F(ProtocolLayerTest, ResetDropsPartialFramesAndKeepsSecretRoleAndCallbacks)
{
    Link link;
    link.establish();
    const Bytes f = frame(Bytes(20, std::byte{'a'}));
    EXPECT_TRUE(link.feed(slice(f, 0, 10)));
    link.layer->reset();
    EXPECT_TRUE(link.sent.empty());
    EXPECT_FALSE(link.sendText("gated"));
    // Read from a clean start, the rest of that frame is an oversize length.
    EXPECT_FALSE(link.feed(slice(f, 10, f.size())));
    EXPECT_TRUE(link.feed(join({handshake(kSecret), frame(text("again"))})));
    EXPECT_EQ(link.handshakes, 2);
    EXPECT_EQ(link.data, Payloads{text("again")});
    link.layer->startHandshake();
    EXPECT_EQ(link.sent, Payloads{handshake(kSecret)});
}

enum class DropIn { Answer, Handshake, Error, Data, Send, Start };

struct DropCase {
    const char *name;
    DropIn where;
};

const DropCase kDrops[] = {
    {"SendCallbackAnswering", DropIn::Answer},
    {"HandshakeCallback", DropIn::Handshake},
    {"ErrorCallback", DropIn::Error},
    {"DataCallback", DropIn::Data},
    {"SendCallbackDuringSend", DropIn::Send},
    {"SendCallbackDuringStartHandshake", DropIn::Start},
};

class DroppedFromCallback : public ProtocolLayerTest, public testing::WithParamInterface<DropCase> {};

// The owner lets go of the layer inside a callback; under ASan any later
// touch of the layer faults.
TEST_P(DroppedFromCallback, EndsTheCallAndRaisesNothingMore)
{
    const DropIn where = GetParam().where;
    auto owner = std::make_shared<ProtocolLayer>(where != DropIn::Answer, clock);
    owner->setSecret(kSecret);
    if (where == DropIn::Send)
        owner->processIncoming(handshake(kSecret));
    bool dropped = false;
    int raisedAfter = 0;
    auto at = [&](DropIn here) {
        if (dropped)
            ++raisedAfter;
        else if (here == where) {
            owner.reset();
            dropped = true;
        }
    };
    owner->setOnSend([&](const Bytes &) {
        at(where == DropIn::Send || where == DropIn::Start ? where : DropIn::Answer);
        return true;
    });
    owner->setOnHandshake([&] { at(DropIn::Handshake); });
    owner->setOnError([&](const std::string &) { at(DropIn::Error); });
    owner->setOnData([&](const Bytes &) { at(DropIn::Data); });
    ProtocolLayer *layer = owner.get();
    const Bytes chunk =
        join({handshake(kSecret), frame(text("stale"), kNow - 31), frame(text("one")), frame(text("two"))});
    const std::byte one[] = {std::byte{1}};
    if (where == DropIn::Send)
        EXPECT_TRUE(layer->send(one, 1));
    else if (where == DropIn::Start)
        layer->startHandshake();
    else
        EXPECT_TRUE(layer->processIncoming(chunk));
    EXPECT_TRUE(dropped);
    EXPECT_EQ(raisedAfter, 0);
}

INSTANTIATE_TEST_SUITE_P(Lifetime, DroppedFromCallback, testing::ValuesIn(kDrops),
    [](const auto &info) { return std::string(info.param.name); });

// reset() drops the rest of the chunk; startHandshake() only gates it.
TEST_F(ProtocolLayerTest, ResetOrRestartFromTheDataCallbackActsOnTheRestOfTheChunk)
{
    for (bool restart : {false, true}) {
        Link link;
        link.establish();
        link.layer->setOnData([&](const Bytes &d) {
            link.data.push_back(d);
            restart ? link.layer->startHandshake() : link.layer->reset();
        });
        EXPECT_TRUE(
            link.feed(join({frame(text("one")), frame(text("two")), handshake(kSecret), frame(text("three"))})));
        EXPECT_EQ(link.data, restart ? (Payloads{text("one"), text("three")}) : Payloads{text("one")});
        EXPECT_EQ(link.handshakes, restart ? 2 : 1);
    }
}

TEST_F(ProtocolLayerTest, DataCallbackMayReplaceItselfMidChunk)
{
    Link link;
    link.establish();
    std::vector<std::string> seen;
    const std::string tag(64, 'x'); // on the heap: a freed closure faults under ASan
    link.layer->setOnData([&link, &seen, tag](const Bytes &) {
        link.layer->setOnData([&link](const Bytes &d) { link.data.push_back(d); });
        seen.push_back(tag);
    });
    EXPECT_TRUE(link.feed(join({frame(text("a")), frame(text("b"))})));
    EXPECT_EQ(seen, std::vector<std::string>{tag});
    EXPECT_EQ(link.data, Payloads{text("b")});
}

TEST_F(ProtocolLayerTest, BytesFedFromACallbackFollowTheCurrentChunk)
{
    const Bytes stream = join({frame(text("A")), frame(text("B"))});
    const Bytes d = frame(text("D"));
    // Frames read in place from the chunk, or from the buffer.
    for (std::size_t buffered : {std::size_t{0}, std::size_t{3}}) {
        Link link;
        link.establish();
        link.layer->setOnData([&](const Bytes &p) {
            link.data.push_back(p);
            if (link.data.size() == 1) {
                EXPECT_TRUE(link.feed(join({frame(text("C")), slice(d, 0, 5)})));
            }
        });
        link.feed(slice(stream, 0, buffered));
        EXPECT_TRUE(link.feed(slice(stream, buffered, stream.size())));
        EXPECT_TRUE(link.feed(slice(d, 5, d.size())));
        EXPECT_EQ(link.data, (Payloads{text("A"), text("B"), text("C"), text("D")})) << buffered;
    }
}

// --- Memory -----------------------------------------------------------------------

TEST_F(ProtocolLayerTest, LongStreamInOddChunksKeepsTheBufferSmall)
{
    Link link;
    link.establish();
    constexpr std::uint32_t kFrames = 10'000;
    Bytes stream;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        const Bytes f = frame(join({be32(i), Bytes(17, std::byte{3})}));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    std::uint32_t delivered = 0;
    bool inOrder = true;
    link.layer->setOnData([&](const Bytes &p) { inOrder = inOrder && slice(p, 0, 4) == be32(delivered++); });
    // After the first byte no call ends on a frame edge, so the buffer
    // never runs empty and only compaction keeps it short.
    const std::size_t sizes[] = {20, 46, 7, 59};
    const std::size_t largest = largestAllocationDuring([&] {
        link.layer->processIncoming(slice(stream, 0, 1));
        for (std::size_t at = 1, k = 0; at < stream.size(); ++k) {
            const std::size_t n = std::min(sizes[k % std::size(sizes)], stream.size() - at);
            link.layer->processIncoming(slice(stream, at, at + n));
            at += n;
        }
    });
    EXPECT_EQ(delivered, kFrames);
    EXPECT_TRUE(inOrder);
    // The stream is 330 kB; a buffer that never compacts would hold all of it.
    EXPECT_LT(largest, 32u * 1024);
}

} // namespace
