#include "mainapp/command_script.h"
#include "mainapp/messages.h"
#include "tests/support/frames.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace StandIn;
using TestSupport::Bytes;
using TestSupport::bytes;

namespace {

// ---- the command parser ----

// Only what the process tests leave out: the other commands, the edges of
// each bound, and one complaint for each way an argument can be wrong.
TEST(Parse, GivesTheCommandOrOneClearLineAndOnlyLinkCommandsWaitForAHelper)
{
    const std::pair<const char *, Command> commands[] = {{"  move\t-3e2   0.25  \r", MoveCommand{{-300, 0.25}}},
        {"move -1e9 1e9", MoveCommand{{-1e9, 1e9}}}, {"circle 500 400 100 36", CircleCommand{{500, 400}, 100, 36}},
        {"rate 12.5", RateCommand{12.5}}, {"features", FeaturesCommand{}},
        {"features 255 0", FeaturesCommand{{255, 0}}}, {"raw 02 0000 00 01 0A fF", RawCommand{bytes({2, 0, 0, 0, 1, 0x0a, 0xff})}}};
    for (const auto &[text, command] : commands) {
        const ParseResult result = parseCommand(text);
        EXPECT_EQ(result.status, ParseResult::Status::Command) << text << ": " << result.error;
        EXPECT_TRUE(result.command == command && result.error.empty()) << text;
    }
    // Each must appear in the one-line complaint.
    const std::pair<const char *, const char *> errors[] = {{"move 1 2px", "Y \"2px\" is not a number"},
        {"move nan 1", "X \"nan\" is not a number"}, {"move 1e10 0", "X must be between"},
        {"move 1e999 0", "X \"1e999\" is out of range"}, {"line 0 0 10 10", "line takes 5 arguments (X1 Y1 X2 Y2 N), got 4"},
        {"line 0 0 1 1 1", "N must be between 2 and 1000000"}, {"circle 0 0 -1 4", "R must be between 0 and"},
        {"circle 0 0 1 0", "N must be between 1 and 1000000"}, {"rate", "rate takes 1 argument (HZ), got 0"},
        {"rate -1", "HZ must be between 0 and"}, {"wait 1.5", "MS \"1.5\" is not a whole number"},
        {"wait 86400001", "MS must be between 0 and 86400000"}, {"features 3 256", "code must be between 0 and 255"},
        {"raw", "raw takes the payload as hex bytes, got nothing"}, {"raw 020", "\"020\" is not whole bytes of hex"},
        {"raw 0g", "\"0g\" is not hex"}, {"close now", "close takes 0 arguments, got 1"},
        {"exit 0", "exit takes 0 arguments, got 1"}, {"Move 1 2", "unknown command \"Move\""}};
    for (const auto &[text, error] : errors) {
        const ParseResult result = parseCommand(text);
        EXPECT_EQ(result.status, ParseResult::Status::Error) << text;
        EXPECT_NE(result.error.find(error), std::string::npos) << text << ": " << result.error;
        EXPECT_EQ(result.error.find('\n'), std::string::npos) << text;
    }
    for (const char *blank : {"", "\t\r", "   # move 1 2"})
        EXPECT_TRUE(parseCommand(blank).status == ParseResult::Status::Blank && parseCommand(blank).error.empty()) << blank;
    // Empty pieces stay so that "command 3" still names the third piece.
    EXPECT_EQ(splitScript("a;;b\nc; d;"), (std::vector<std::string_view>{"a", "", "b", "c", " d", ""}));
    // Only these run without a helper.
    for (const Command &c : {Command(RateCommand{}), Command(WaitCommand{}), Command(ExitCommand{})})
        EXPECT_FALSE(needsLink(c)) << c.index();
    for (const Command &c : {Command(FeaturesCommand{}), Command(RawCommand{}), Command(CloseCommand{})})
        EXPECT_TRUE(needsLink(c)) << c.index();
}

// ---- the points of move commands ----

// A line ends exactly on its end point even where its steps do not add up in
// binary (its even steps show in the process tests). A circle has equal
// chords all the way round, the last back to the first: even, not repeating
// its start, counterclockwise from the right.
TEST(MovePoints, LinesIncludeBothEndsAndCirclesAreEven)
{
    auto points = [](const Command &command) {
        std::vector<Point> out;
        for (std::uint32_t i = 0; i < moveCount(command); ++i)
            out.push_back(movePoint(command, i));
        return out;
    };
    const LineCommand line{{0.2, -7.3}, {-0.1, 2.7}, 7};
    const std::vector<Point> got = points(line);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got.front(), line.from);
    EXPECT_EQ(got.back(), line.to);
    const CircleCommand circle{{640, 400}, 123.5, 360};
    const std::vector<Point> round = points(circle);
    ASSERT_EQ(round.size(), 360u);
    const double chord = 2 * circle.radius * std::sin(std::acos(-1.0) / 360);
    for (std::size_t i = 0; i < round.size(); ++i) {
        EXPECT_NEAR(std::hypot(round[i].x - 640, round[i].y - 400), circle.radius, 1e-9) << i;
        const Point &next = round[(i + 1) % round.size()];
        EXPECT_NEAR(std::hypot(next.x - round[i].x, next.y - round[i].y), chord, 1e-9) << i;
    }
    EXPECT_EQ(round[0], (Point{763.5, 400}));
    EXPECT_NEAR(round[90].y, 523.5, 1e-9);
}

// ---- message bytes ----

TEST(MessageBytes, OursAreFramedByLengthAndTheHelpersArePrinted)
{
    // Features and moves show in the process tests; only a long one has a high length byte.
    const Bytes message = serviceMessage(9, Bytes(300, std::byte{0x7f}));
    ASSERT_EQ(message.size(), 305u);
    EXPECT_EQ(Bytes(message.begin(), message.begin() + 5), bytes({0x09, 0, 0, 0x01, 0x2c}));
    // Each payload from the helper gives its output lines.
    const std::pair<Bytes, std::vector<std::string>> cases[] = {
        {bytes({2, 0, 0, 0, 2, 3, 5}), {"features 3", "features 5"}}, {bytes({2, 0, 0, 0, 0}), {"message 2 -"}},
        {bytes({4, 0, 0, 0, 5, 1, 2, 3, 4, 0}), {"accessibility-status 16909060 0"}},
        {bytes({4, 0, 0, 0, 4, 0, 0, 0, 1}), {"message 4 00000001"}},
        {bytes({4, 0, 0, 0, 6, 0, 0, 0, 1, 1, 9}), {"message 4 000000010109"}},
        {bytes({9, 0, 0, 0, 1, 0xab, 0xcd}), {"message 9 ab"}}, {{}, {"message invalid -"}},
        {bytes({2, 0, 0, 0}), {"message invalid 02000000"}}, {bytes({2, 0, 0, 0, 5, 3}), {"message invalid 020000000503"}},
        {bytes({2, 0xff, 0xff, 0xff, 0xff, 3}), {"message invalid 02ffffffff03"}}};
    for (const auto &[payload, lines] : cases)
        EXPECT_EQ(describeMessage(payload), lines) << hexText(payload);
}

// ---- stdin lines ----

TEST(LineReader, EverySplitGivesTheSameLinesAndOverlongOnesAreSkipped)
{
    const std::string overlong(kMaxLineLength + 1, 'x'), longest(kMaxLineLength, 'y');
    const std::string input = "move 1 2\n\nclose\r\n" + overlong + "\n" + longest + "\nexit";
    const std::vector<LineReader::Line> expected = {
        {1, "move 1 2", false}, {2, "", false}, {3, "close\r", false}, {4, "", true}, {5, longest, false}, {6, "exit", false}};
    // Also when the overlong line is the last, without its newline.
    for (const auto &[text, lines] : {std::pair{input, expected}, std::pair{overlong, decltype(expected){{1, "", true}}}}) {
        for (std::size_t split = 0; split <= 20; ++split) {
            LineReader reader;
            std::vector<LineReader::Line> got;
            reader.feed(text.data(), split, &got);
            for (std::size_t at = split; at < text.size(); at += 4096)
                reader.feed(text.data() + at, std::min<std::size_t>(4096, text.size() - at), &got);
            reader.finish(&got);
            EXPECT_EQ(got, lines) << split;
        }
    }
}

} // namespace
