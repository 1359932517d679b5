#include "platform/pointer.h"
#include "service/service.h"
#include "tests/support/frames.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

using Helper::Service;

namespace {

using namespace TestSupport;
// Coordinates as their bits, so a NaN compares equal to itself.
using Moves = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// A type byte, a declared length and what actually follows.
Bytes message(int type, std::uint32_t declared, const Bytes &body)
{
    return join({bytes({type}), be32(declared), body});
}

Moves::value_type at(double x, double y)
{
    return {std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(y)};
}

const Bytes kEnable = bytes({0x02, 0, 0, 0, 0x01, 0x03}); // also the answer to it
const Bytes kXY = bytes({0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0}); // (100.0, 200.5)
const Bytes kMove = message(3, 16, kXY);
const Moves kMoved = {at(100.0, 200.5)};
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Recording : Platform::Pointer {
    Moves moves;
    bool trusted = true;
    void postPointerMove(double x, double y) override { moves.push_back(at(x, y)); }
    bool isAccessibilityTrusted() override { return trusted; }
    bool canCreateEventTap() override { return true; }
    Platform::Desktop desktop() override { return Platform::Desktop::X11; }
};

struct Case {
    const char *name;
    std::vector<Bytes> messages;
    std::size_t answers; // each one the pointer-moves feature
    Moves moves;
};

const Case kCases[] = {
    // Each pointer-moves code in the declared payload is answered and enables moves.
    {"PointerMovesTwice", {message(2, 2, bytes({3, 3})), kMove}, 2, kMoved},
    {"AmongOthers", {message(2, 4, bytes({1, 3, 5, 0xff})), kMove}, 1, kMoved},
    {"CodeBeyondDeclaredLength", {message(2, 1, bytes({5, 3})), kMove}, 0, {}},
    {"DeclaredLongerThanPresent", {message(2, 2, bytes({3})), kMove}, 0, {}},
    // A move is posted only once enabled, with sixteen bytes declared and present, and never answered.
    {"MoveBeforeFeatures", {kMove, kEnable, kMove}, 1, kMoved},
    {"ExtraPayloadIgnored", {kEnable, message(3, 20, join({kXY, bytes({1, 2, 3, 4})}))}, 1, kMoved},
    {"OnlyXDeclared", {kEnable, message(3, 12, kXY)}, 1, {}},
    {"LengthNearTwoToThe32", {kEnable, message(3, 0xfffffffd, kXY)}, 1, {}},
    {"Empty", {kEnable, {}, bytes({3})}, 1, {}},
    {"OtherTypesAreIgnored", {kEnable, message(0, 16, kXY), message(1, 16, kXY), message(4, 16, kXY),
        message(5, 16, kXY), message(0x83, 16, kXY), message(255, 16, kXY)}, 1, {}},
    // Coordinates reach the pointer unchanged whatever they are.
    {"AnyCoordinates", {kEnable, moveMessage(-5.25, 1e300), moveMessage(kInf, kNaN)}, 1, {at(-5.25, 1e300), at(kInf, kNaN)}},
};

class Messages : public testing::TestWithParam<Case> {};

TEST_P(Messages, AnswerAndMoveExactly)
{
    Recording pointer;
    Service service(pointer);
    std::vector<Bytes> sent;
    service.setSender([&](const Bytes &m) { sent.push_back(m); });
    for (const Bytes &m : GetParam().messages)
        service.handleMessage(m);
    EXPECT_EQ(sent, std::vector<Bytes>(GetParam().answers, kEnable));
    EXPECT_EQ(pointer.moves, GetParam().moves);
}

INSTANTIATE_TEST_SUITE_P(Service, Messages, testing::ValuesIn(kCases),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Service, StartReportsTheTrustInTenBytes)
{
    Recording pointer;
    std::vector<Bytes> sent;
    for (bool trusted : {true, false}) {
        pointer.trusted = trusted;
        Service service(pointer);
        service.setSender([&](const Bytes &m) { sent.push_back(m); });
        service.start();
    }
    EXPECT_EQ(sent, (std::vector<Bytes>{bytes({4, 0, 0, 0, 5, 0, 0, 0, 1, 1}), bytes({4, 0, 0, 0, 5, 0, 0, 0, 1, 0})}));
}

// Under ASan a service touched after its last owner let go faults.
TEST(Service, ASenderMayDropTheService)
{
    Recording pointer;
    auto service = std::make_shared<Service>(pointer);
    service->setSender([&](const Bytes &) { service.reset(); });
    service->handleMessage(message(2, 2, bytes({3, 3})));
    EXPECT_FALSE(service);
}

TEST(Service, CodecTakesTheDeclaredPayloadAndReadsDoublesOnlyWhereThereAreEightBytes)
{
    const auto decoded = Helper::decodeServiceMessage(bytes({7, 0, 0, 0, 2, 0xaa, 0xbb, 0xcc}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type, 7);
    EXPECT_EQ(decoded->payload, bytes({0xaa, 0xbb}));
    EXPECT_EQ(Helper::encodeServiceMessage(*decoded), bytes({7, 0, 0, 0, 2, 0xaa, 0xbb}));
    const auto empty = Helper::decodeServiceMessage(bytes({9, 0, 0, 0, 0}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payload.empty());
    EXPECT_FALSE(Helper::decodeServiceMessage(bytes({9, 0, 0, 0})));
    EXPECT_FALSE(Helper::decodeServiceMessage(bytes({9, 0xff, 0xff, 0xff, 0xff, 1})));

    const Bytes payload = slice(kXY, 0, 15);
    std::size_t cursor = 0, beyond = 100;
    EXPECT_EQ(Helper::readDoubleBE(payload, cursor), 100.0);
    EXPECT_FALSE(Helper::readDoubleBE(payload, cursor));
    EXPECT_EQ(cursor, 8u);
    EXPECT_FALSE(Helper::readDoubleBE(payload, beyond));
    EXPECT_EQ(beyond, 100u);
}

} // namespace
