#include "platform/pointer.h"
#include "service/service.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

using Helper::Service;

namespace {

std::vector<std::byte> hex(std::initializer_list<int> values)
{
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

struct Recording : Platform::Pointer {
    std::vector<std::pair<double, double>> moves;
    bool trusted = true;
    void postPointerMove(double x, double y) override { moves.emplace_back(x, y); }
    bool isAccessibilityTrusted() override { return trusted; }
    bool canCreateEventTap() override { return true; }
};

class ServiceTest : public testing::Test {
protected:
    ServiceTest()
    {
        service->setSender([this](const std::vector<std::byte> &m) { sent.push_back(m); });
    }
    Recording pointer;
    std::shared_ptr<Service> service = std::make_shared<Service>(pointer);
    std::vector<std::vector<std::byte>> sent;
};

const std::vector<std::byte> kEnable = hex({0x02, 0, 0, 0, 0x01, 0x03});
const std::vector<std::byte> kFeatureAnswer = hex({0x02, 0, 0, 0, 0x01, 0x03});
// (100.0, 200.5)
const std::vector<std::byte> kMove = hex({0x03, 0, 0, 0, 0x10, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0});

struct FeaturesCase {
    const char *name;
    std::vector<std::byte> message;
    std::size_t answers;
    bool enables;
};

const FeaturesCase kFeatures[] = {
    {"PointerMoves", hex({0x02, 0, 0, 0, 0x01, 0x03}), 1, true},
    {"PointerMovesTwice", hex({0x02, 0, 0, 0, 0x02, 0x03, 0x03}), 2, true},
    {"AmongOthers", hex({0x02, 0, 0, 0, 0x04, 0x01, 0x03, 0x05, 0xff}), 1, true},
    {"UnknownCode", hex({0x02, 0, 0, 0, 0x01, 0x05}), 0, false},
    {"EmptyList", hex({0x02, 0, 0, 0, 0x00}), 0, false},
    {"CodeBeyondDeclaredLength", hex({0x02, 0, 0, 0, 0x01, 0x05, 0x03}), 0, false},
    {"DeclaredLongerThanPresent", hex({0x02, 0, 0, 0, 0x02, 0x03}), 0, false},
    {"HeaderOnlyFourBytes", hex({0x02, 0, 0, 0}), 0, false},
};

class Features : public ServiceTest, public testing::WithParamInterface<FeaturesCase> {};

TEST_P(Features, AnswersEachPointerMoveCodeAndEnablesMoves)
{
    service->handleMessage(GetParam().message);
    ASSERT_EQ(sent.size(), GetParam().answers);
    for (const auto &answer : sent)
        EXPECT_EQ(answer, kFeatureAnswer);
    service->handleMessage(kMove);
    EXPECT_EQ(pointer.moves.size(), GetParam().enables ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Messages, Features, testing::ValuesIn(kFeatures),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ServiceTest, MovesBeforeFeaturesAreIgnoredAndAfterThemPostedExactly)
{
    service->handleMessage(kMove);
    EXPECT_TRUE(pointer.moves.empty());
    service->handleMessage(kEnable);
    service->handleMessage(kMove);
    ASSERT_EQ(pointer.moves.size(), 1u);
    EXPECT_EQ(pointer.moves[0].first, 100.0);
    EXPECT_EQ(pointer.moves[0].second, 200.5);
    // A move is never answered.
    EXPECT_EQ(sent.size(), 1u);
}

struct MoveCase {
    const char *name;
    std::vector<std::byte> message;
    bool posted;
};

const MoveCase kMoves[] = {
    {"ExtraPayloadIgnored", hex({0x03, 0, 0, 0, 0x14, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0, 1, 2, 3, 4}), true},
    {"TrailingBytesAfterDeclared", hex({0x03, 0, 0, 0, 0x10, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0, 9, 9}), true},
    {"OnlyX", hex({0x03, 0, 0, 0, 0x0c, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false},
    {"DeclaredMoreThanPresent", hex({0x03, 0, 0, 0, 0x11, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0}), false},
    {"LengthNearTwoToThe32", hex({0x03, 0xff, 0xff, 0xff, 0xfd, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0}), false},
    {"Empty", {}, false},
    {"TypeOnly", hex({0x03}), false},
};

class Moves : public ServiceTest, public testing::WithParamInterface<MoveCase> {};

TEST_P(Moves, PostOnlyWithSixteenDeclaredAndPresentBytes)
{
    service->handleMessage(kEnable);
    service->handleMessage(GetParam().message);
    ASSERT_EQ(pointer.moves.size(), GetParam().posted ? 1u : 0u);
    if (GetParam().posted) {
        EXPECT_EQ(pointer.moves[0], std::make_pair(100.0, 200.5));
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Moves, testing::ValuesIn(kMoves),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ServiceTest, OtherTypesAreIgnoredWithoutAnswer)
{
    service->handleMessage(kEnable);
    sent.clear();
    for (int type : {0, 1, 4, 5, 0x83, 255}) {
        auto message = kMove;
        message[0] = static_cast<std::byte>(type);
        service->handleMessage(message);
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(pointer.moves.empty());
}

TEST_F(ServiceTest, CoordinatesReachThePointerUnchangedWhateverTheyAre)
{
    service->handleMessage(kEnable);
    const double values[] = {-5.25, 1e300, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    for (double v : values) {
        std::vector<std::byte> message = hex({0x03, 0, 0, 0, 0x10});
        auto bits = std::bit_cast<std::uint64_t>(v);
        for (int i = 0; i < 2; ++i)
            for (int shift = 56; shift >= 0; shift -= 8)
                message.push_back(static_cast<std::byte>(bits >> shift));
        service->handleMessage(message);
    }
    ASSERT_EQ(pointer.moves.size(), 4u);
    EXPECT_EQ(pointer.moves[0].first, -5.25);
    EXPECT_EQ(pointer.moves[1].second, 1e300);
    EXPECT_TRUE(std::isinf(pointer.moves[2].first));
    EXPECT_TRUE(std::isnan(pointer.moves[3].second));
}

TEST_F(ServiceTest, StartReportsTheTrustOnceInTenBytes)
{
    pointer.trusted = true;
    service->start();
    pointer.trusted = false;
    auto untrusted = std::make_shared<Service>(pointer);
    untrusted->setSender([this](const std::vector<std::byte> &m) { sent.push_back(m); });
    untrusted->start();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], hex({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x01}));
    EXPECT_EQ(sent[1], hex({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x00}));
}

TEST_F(ServiceTest, WithoutASenderAnswersAreDropped)
{
    service->setSender(nullptr);
    service->start();
    service->handleMessage(kEnable);
    service->handleMessage(kMove);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(pointer.moves.size(), 1u);
}

TEST_F(ServiceTest, ASenderMayDropTheService)
{
    service->setSender([this](const std::vector<std::byte> &) { service.reset(); });
    service->handleMessage(hex({0x02, 0, 0, 0, 0x02, 0x03, 0x03}));
    EXPECT_FALSE(service);
}

TEST(ServiceCodec, DecodeTakesTheDeclaredPayloadAndEncodeRoundTrips)
{
    auto decoded = Helper::decodeServiceMessage(hex({0x07, 0, 0, 0, 0x02, 0xaa, 0xbb, 0xcc}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type, 7);
    EXPECT_EQ(decoded->payload, hex({0xaa, 0xbb}));
    EXPECT_EQ(Helper::encodeServiceMessage(*decoded), hex({0x07, 0, 0, 0, 0x02, 0xaa, 0xbb}));

    auto empty = Helper::decodeServiceMessage(hex({0x09, 0, 0, 0, 0}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payload.empty());
    EXPECT_FALSE(Helper::decodeServiceMessage(hex({0x09, 0, 0, 0})));
    EXPECT_FALSE(Helper::decodeServiceMessage(hex({0x09, 0xff, 0xff, 0xff, 0xff, 1})));
}

TEST(ServiceCodec, ReadDoubleMovesTheCursorOnlyOnSuccess)
{
    auto payload = hex({0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10});
    std::size_t cursor = 0;
    EXPECT_EQ(Helper::readDoubleBE(payload, cursor), 100.0);
    EXPECT_EQ(cursor, 8u);
    EXPECT_FALSE(Helper::readDoubleBE(payload, cursor));
    EXPECT_EQ(cursor, 8u);
    std::size_t beyond = 100;
    EXPECT_FALSE(Helper::readDoubleBE(payload, beyond));
    EXPECT_EQ(beyond, 100u);
}

} // namespace
