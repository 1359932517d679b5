#include "mainapp/command_script.h"
#include "mainapp/frame_layer.h"
#include "mainapp/messages.h"
#include "mainapp/options.h"
#include "network/protocol_layer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

using namespace StandIn;

namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values)
{
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

// ---- the command parser ----

struct ParseCase {
    const char *name;
    const char *text;
    Command command;
    const char *error = nullptr; // must appear in the one-line message
    bool blank = false;          // nothing to run: an empty line or a comment
};

const ParseCase kParse[] = {
    {"Move", "move 100 200.5", MoveCommand{{100, 200.5}}},
    {"MoveNegativeAndExponent", "move -3e2 0.25", MoveCommand{{-300, 0.25}}},
    {"MoveLooseSpacingAndCarriageReturn", "  move\t1   2  \r", MoveCommand{{1, 2}}},
    {"MoveAtTheCoordinateLimit", "move -1e9 1e9", MoveCommand{{-1e9, 1e9}}},
    {"Line", "line 0 0 10 10 3", LineCommand{{0, 0}, {10, 10}, 3}},
    {"LineOfTwo", "line 1 2 3 4 2", LineCommand{{1, 2}, {3, 4}, 2}},
    {"LineAtTheCountLimit", "line 0 0 1 1 1000000", LineCommand{{0, 0}, {1, 1}, 1'000'000}},
    {"Circle", "circle 500 400 100 36", CircleCommand{{500, 400}, 100, 36}},
    {"CircleOfOnePointAndNoRadius", "circle 1 1 0 1", CircleCommand{{1, 1}, 0, 1}},
    {"RateZero", "rate 0", RateCommand{0}},
    {"RateFraction", "rate 12.5", RateCommand{12.5}},
    {"Wait", "wait 250", WaitCommand{250}},
    {"WaitZero", "wait 0", WaitCommand{0}},
    {"FeaturesSeveralWithBothBounds", "features 3 5 255 0", FeaturesCommand{{3, 5, 255, 0}}},
    {"FeaturesNone", "features", FeaturesCommand{}},
    {"RawSpacedAndMixedCase", "raw 02 0000 00 01 0A fF", RawCommand{bytes({2, 0, 0, 0, 1, 0x0a, 0xff})}},
    {"Close", "close", CloseCommand{}},
    {"Exit", "exit", ExitCommand{}},
    {"Unknown", "jump 1 2", {}, "unknown command \"jump\""},
    {"NamesAreCaseSensitive", "Move 1 2", {}, "unknown command \"Move\""},
    {"MoveMissingArgument", "move 1", {}, "move takes 2 arguments (X Y), got 1"},
    {"MoveExtraArgument", "move 1 2 3", {}, "move takes 2 arguments (X Y), got 3"},
    {"MoveNonNumeric", "move 1 abc", {}, "Y \"abc\" is not a number"},
    {"MoveTrailingJunk", "move 1 2px", {}, "Y \"2px\" is not a number"},
    {"MoveLeadingPlus", "move +1 2", {}, "X \"+1\" is not a number"},
    {"MoveNaN", "move nan 1", {}, "X \"nan\" is not a number"},
    {"MoveInfinity", "move 1 inf", {}, "Y \"inf\" is not a number"},
    {"MoveBeyondTheCoordinateLimit", "move 1e10 0", {}, "X must be between"},
    {"MoveBeyondADouble", "move 1e999 0", {}, "X \"1e999\" is out of range"},
    {"LineMissingCount", "line 0 0 10 10", {}, "line takes 5 arguments (X1 Y1 X2 Y2 N), got 4"},
    {"LineOfOnePoint", "line 0 0 1 1 1", {}, "N must be between 2 and 1000000"},
    {"LineCountHuge", "line 0 0 1 1 1000001", {}, "N must be between 2 and 1000000"},
    {"LineCountBeyondSixtyFourBits", "line 0 0 1 1 99999999999999999999999", {}, "N must be between 2 and 1000000"},
    {"LineCountFraction", "line 0 0 1 1 2.5", {}, "N \"2.5\" is not a whole number"},
    {"LineNonNumericPoint", "line 0 zero 1 1 3", {}, "Y1 \"zero\" is not a number"},
    {"CircleMissingCount", "circle 0 0 1", {}, "circle takes 4 arguments (CX CY R N), got 3"},
    {"CircleNegativeRadius", "circle 0 0 -1 4", {}, "R must be between 0 and"},
    {"CircleCountZero", "circle 0 0 1 0", {}, "N must be between 1 and 1000000"},
    {"CircleCountHuge", "circle 0 0 1 2000000", {}, "N must be between 1 and 1000000"},
    {"RateMissing", "rate", {}, "rate takes 1 argument (HZ), got 0"},
    {"RateNegative", "rate -1", {}, "HZ must be between 0 and"},
    {"RateNonNumeric", "rate fast", {}, "HZ \"fast\" is not a number"},
    {"WaitNegative", "wait -1", {}, "MS must be between 0 and 86400000"},
    {"WaitFraction", "wait 1.5", {}, "MS \"1.5\" is not a whole number"},
    {"WaitBeyondADay", "wait 86400001", {}, "MS must be between 0 and 86400000"},
    {"WaitMissing", "wait", {}, "wait takes 1 argument (MS), got 0"},
    {"FeaturesCodeBeyondAByte", "features 3 256", {}, "code must be between 0 and 255"},
    {"FeaturesNonNumeric", "features x", {}, "code \"x\" is not a whole number"},
    {"RawMissing", "raw", {}, "raw takes the payload as hex bytes, got nothing"},
    {"RawOddDigitCount", "raw 020", {}, "\"020\" is not whole bytes of hex"},
    {"RawNotHex", "raw 0g", {}, "\"0g\" is not hex"},
    {"RawPrefixedHex", "raw 0x02", {}, "\"0x02\" is not hex"},
    {"CloseWithArgument", "close now", {}, "close takes 0 arguments, got 1"},
    {"ExitWithStatus", "exit 0", {}, "exit takes 0 arguments, got 1"},
    {"Empty", "", {}, nullptr, true},
    {"Spaces", "   ", {}, nullptr, true},
    {"TabAndCarriageReturn", "\t\r", {}, nullptr, true},
    {"Comment", "# a comment", {}, nullptr, true},
    {"IndentedComment", "   # move 1 2", {}, nullptr, true},
};

class Parse : public testing::TestWithParam<ParseCase> {};

TEST_P(Parse, GivesTheCommandOrOneClearLine)
{
    const ParseCase &c = GetParam();
    ParseResult result = parseCommand(c.text);
    using Status = ParseResult::Status;
    ASSERT_EQ(result.status, c.error ? Status::Error : c.blank ? Status::Blank : Status::Command) << result.error;
    if (c.error)
        EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
    else
        EXPECT_TRUE(result.error.empty());
    EXPECT_TRUE(c.error || c.blank || result.command == c.command);
    EXPECT_EQ(result.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Commands, Parse, testing::ValuesIn(kParse),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SplitScript, CutsAtSemicolonsAndNewlinesKeepingPositions)
{
    EXPECT_EQ(splitScript("move 100 200.5; line 0 0 10 10 3"),
        (std::vector<std::string_view>{"move 100 200.5", " line 0 0 10 10 3"}));
    // Empty pieces stay so that "command 3" still names the third piece.
    EXPECT_EQ(splitScript("a;;b\nc;"), (std::vector<std::string_view>{"a", "", "b", "c", ""}));
    EXPECT_EQ(splitScript(""), (std::vector<std::string_view>{""}));
}

TEST(NeedsLink, OnlyRateWaitAndExitRunWithoutAHelper)
{
    for (const Command &c : {Command(MoveCommand{}), Command(LineCommand{}), Command(CircleCommand{}),
             Command(FeaturesCommand{}), Command(RawCommand{}), Command(CloseCommand{})})
        EXPECT_TRUE(needsLink(c)) << c.index();
    for (const Command &c : {Command(RateCommand{}), Command(WaitCommand{}), Command(ExitCommand{})})
        EXPECT_FALSE(needsLink(c)) << c.index();
}

// ---- the points of move commands ----

std::vector<Point> points(const Command &command)
{
    std::vector<Point> out;
    for (std::uint32_t i = 0; i < moveCount(command); ++i)
        out.push_back(movePoint(command, i));
    return out;
}

TEST(MovePoints, CountsAreExactAndOtherCommandsMoveNothing)
{
    EXPECT_EQ(moveCount(MoveCommand{{1, 2}}), 1u);
    EXPECT_EQ(moveCount(LineCommand{{0, 0}, {1, 1}, 17}), 17u);
    EXPECT_EQ(moveCount(CircleCommand{{0, 0}, 5, 360}), 360u);
    for (const Command &other : {Command(RateCommand{5}), Command(WaitCommand{5}), Command(FeaturesCommand{{3}}),
             Command(RawCommand{bytes({1})}), Command(CloseCommand{}), Command(ExitCommand{})})
        EXPECT_EQ(moveCount(other), 0u);
    EXPECT_EQ(points(MoveCommand{{-4.5, 8}}), (std::vector<Point>{{-4.5, 8}}));
}

TEST(MovePoints, LineIncludesBothEndsExactly)
{
    EXPECT_EQ(points(LineCommand{{0, 0}, {10, 10}, 3}), (std::vector<Point>{{0, 0}, {5, 5}, {10, 10}}));
    EXPECT_EQ(points(LineCommand{{1, 2}, {3, 4}, 2}), (std::vector<Point>{{1, 2}, {3, 4}}));

    // Values whose steps do not add up exactly in binary still end on the end point.
    const LineCommand line{{0.1, -7.3}, {1e9 / 3, 2.7}, 7};
    std::vector<Point> got = points(line);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got.front(), line.from);
    EXPECT_EQ(got.back(), line.to);
    const double stepX = (line.to.x - line.from.x) / 6, stepY = (line.to.y - line.from.y) / 6;
    for (std::size_t i = 1; i < got.size(); ++i) {
        EXPECT_NEAR(got[i].x - got[i - 1].x, stepX, 1e-6) << i;
        EXPECT_NEAR(got[i].y - got[i - 1].y, stepY, 1e-9) << i;
    }
}

// Equal chords all the way round, the last back to the first: an even
// circle that does not repeat its start, counterclockwise from the right.
TEST(MovePoints, CirclePointsLieOnItEvenlyFromTheRightOfTheCentre)
{
    const CircleCommand circle{{640, 400}, 123.5, 360};
    std::vector<Point> got = points(circle);
    ASSERT_EQ(got.size(), 360u);
    const double chord = 2 * circle.radius * std::sin(std::acos(-1.0) / 360);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(std::hypot(got[i].x - 640, got[i].y - 400), circle.radius, 1e-9) << i;
        const Point &next = got[(i + 1) % got.size()];
        EXPECT_NEAR(std::hypot(next.x - got[i].x, next.y - got[i].y), chord, 1e-9) << i;
    }
    EXPECT_EQ(got[0], (Point{763.5, 400}));
    EXPECT_NEAR(got[90].x, 640, 1e-9);
    EXPECT_NEAR(got[90].y, 523.5, 1e-9);
    EXPECT_EQ(points(CircleCommand{{10, 20}, 5, 1}), (std::vector<Point>{{15, 20}}));
}

// ---- message bytes ----

TEST(MessageBytes, MovePointerIsTwoBigEndianDoubles)
{
    EXPECT_EQ(movePointerMessage({100, 200.5}),
        bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0}));
    // A sign bit and a mantissa that fills every byte catch a swapped or cut order.
    EXPECT_EQ(movePointerMessage({-1, 0.1}), bytes({0x03, 0, 0, 0, 0x10, 0xbf, 0xf0, 0, 0, 0, 0, 0, 0, 0x3f, 0xb9,
                                                0x99, 0x99, 0x99, 0x99, 0x99, 0x9a}));
    EXPECT_EQ(movePointerMessage({0, 0}).size(), kMovePointerSize);
}

TEST(MessageBytes, FeaturesAndTheLengthField)
{
    EXPECT_EQ(featuresMessage({3}), bytes({0x02, 0, 0, 0, 0x01, 0x03}));
    EXPECT_EQ(featuresMessage({3, 5}), bytes({0x02, 0, 0, 0, 0x02, 0x03, 0x05}));
    EXPECT_EQ(featuresMessage({}), bytes({0x02, 0, 0, 0, 0}));
    std::vector<std::byte> long300(300, std::byte{0x7f});
    std::vector<std::byte> message = serviceMessage(9, long300);
    ASSERT_EQ(message.size(), 305u);
    EXPECT_EQ(std::vector<std::byte>(message.begin(), message.begin() + 5), bytes({0x09, 0, 0, 0x01, 0x2c}));
}

struct DescribeCase {
    const char *name;
    std::vector<std::byte> payload;
    std::vector<std::string> lines;
};

const DescribeCase kDescribe[] = {
    {"FeaturesAnswer", bytes({2, 0, 0, 0, 1, 3}), {"features 3"}},
    {"FeaturesTwoCodes", bytes({2, 0, 0, 0, 2, 3, 5}), {"features 3", "features 5"}},
    {"FeaturesEmpty", bytes({2, 0, 0, 0, 0}), {"message 2 -"}},
    {"StatusTrusted", bytes({4, 0, 0, 0, 5, 0, 0, 0, 1, 1}), {"accessibility-status 1 1"}},
    {"StatusUntrusted", bytes({4, 0, 0, 0, 5, 0, 0, 0, 1, 0}), {"accessibility-status 1 0"}},
    {"StatusVersionIsBigEndian", bytes({4, 0, 0, 0, 5, 1, 2, 3, 4, 0}), {"accessibility-status 16909060 0"}},
    {"StatusTooShort", bytes({4, 0, 0, 0, 4, 0, 0, 0, 1}), {"message 4 00000001"}},
    {"StatusTooLong", bytes({4, 0, 0, 0, 6, 0, 0, 0, 1, 1, 9}), {"message 4 000000010109"}},
    {"UnknownType", bytes({9, 0, 0, 0, 2, 0xab, 0xcd}), {"message 9 abcd"}},
    {"MovePointerEcho", bytes({3, 0, 0, 0, 0}), {"message 3 -"}},
    {"BytesAfterTheDeclaredLengthIgnored", bytes({9, 0, 0, 0, 1, 0xab, 0xcd}), {"message 9 ab"}},
    {"Empty", {}, {"message invalid -"}},
    {"HeaderCut", bytes({2, 0, 0, 0}), {"message invalid 02000000"}},
    {"DeclaredBeyondTheBytes", bytes({2, 0, 0, 0, 5, 3}), {"message invalid 020000000503"}},
    {"LengthNearTwoToThe32", bytes({2, 0xff, 0xff, 0xff, 0xff, 3}), {"message invalid 02ffffffff03"}},
};

class Describe : public testing::TestWithParam<DescribeCase> {};

TEST_P(Describe, GivesTheOutputLines)
{
    EXPECT_EQ(describeMessage(GetParam().payload), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Answers, Describe, testing::ValuesIn(kDescribe),
    [](const auto &info) { return std::string(info.param.name); });

// ---- the frame layer, against the helper's own ----

struct AnswerCase {
    const char *name;
    const char *answerSecret;
    bool helperVerifies;
};

class Answer : public testing::TestWithParam<AnswerCase> {};

// --wrong-secret is an answer secret of its own: ours still checks the
// helper's handshake, and the helper sees the mismatch.
TEST_P(Answer, TheHelperChecksOurAnswer)
{
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    auto helper = std::make_shared<KNetwork::ProtocolLayer>(true);
    std::vector<std::byte> hello;
    std::vector<std::string> errors;
    bool verified = false;
    helper->setSecret("the secret");
    helper->setOnSend([&](const std::vector<std::byte> &frame) {
        hello = frame;
        return true;
    });
    helper->setOnError([&](const std::string &text) { errors.push_back(text); });
    helper->setOnHandshake([&] { verified = true; });
    helper->startHandshake();

    FrameLayer frames("the secret", GetParam().answerSecret);
    const FrameLayer::Read read = frames.read(hello, now);
    EXPECT_EQ(read.event, FrameLayer::Event::Verified);
    EXPECT_EQ(read.consumed, hello.size());
    EXPECT_EQ(helper->processIncoming(frames.answer(now)), GetParam().helperVerifies);
    EXPECT_EQ(verified, GetParam().helperVerifies);
    EXPECT_EQ(errors, GetParam().helperVerifies ? std::vector<std::string>{}
                                                : std::vector<std::string>{"Handshake failed: secret mismatch"});
}

INSTANTIATE_TEST_SUITE_P(Secrets, Answer,
    testing::Values(AnswerCase{"Right", "the secret", true}, AnswerCase{"Wrong", "the secret~", false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- stdin lines ----

TEST(LineReader, EverySplitPointGivesTheSameLines)
{
    const std::string input = "move 1 2\n\nclose\r\nexit";
    const std::vector<LineReader::Line> expected = {
        {1, "move 1 2", false}, {2, "", false}, {3, "close\r", false}, {4, "exit", false}};
    for (std::size_t split = 0; split <= input.size(); ++split) {
        LineReader reader;
        std::vector<LineReader::Line> got;
        reader.feed(input.data(), split, &got);
        reader.feed(input.data() + split, input.size() - split, &got);
        EXPECT_EQ(got.size(), 3u) << split; // the last one has no newline yet
        reader.finish(&got);
        EXPECT_EQ(got, expected) << split;
    }
}

TEST(LineReader, OverlongLineIsReportedOnceAndSkippedWithoutBuffering)
{
    std::string input = std::string(kMaxLineLength + 1, 'x') + "\nmove 1 2\n" + std::string(kMaxLineLength, 'y') + "\n";
    LineReader reader;
    std::vector<LineReader::Line> got;
    for (std::size_t at = 0; at < input.size(); at += 4096)
        reader.feed(input.data() + at, std::min<std::size_t>(4096, input.size() - at), &got);
    reader.finish(&got);
    // Exactly at the limit is still a line.
    EXPECT_EQ(got, (std::vector<LineReader::Line>{
                       {1, "", true}, {2, "move 1 2", false}, {3, std::string(kMaxLineLength, 'y'), false}}));

    // And once more when the overlong line is the last, without its newline.
    LineReader last;
    got.clear();
    last.feed(input.data(), kMaxLineLength + 1, &got);
    last.finish(&got);
    EXPECT_EQ(got, (std::vector<LineReader::Line>{{1, "", true}}));
}

// ---- options: what each flag does is seen on the real binary ----

TEST(Options, MistakesAreRefusedWithTheReason)
{
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{"-c"}, "-c needs a script"},
        {{"--once", "--bogus"}, "unknown option \"--bogus\""},
        {{"move 1 2"}, "unexpected argument \"move 1 2\""},
    };
    for (const auto &[args, reason] : cases) {
        Options options;
        std::string error;
        EXPECT_FALSE(parseOptions(args, &options, &error)) << reason;
        EXPECT_EQ(error, reason);
    }
}

} // namespace
