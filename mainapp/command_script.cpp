#include "mainapp/command_script.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>

namespace StandIn {

namespace {

std::vector<std::string_view> tokens(std::string_view text)
{
    constexpr std::string_view kSpace = " \t\r\v\f";
    std::vector<std::string_view> out;
    for (std::size_t start = text.find_first_not_of(kSpace); start != std::string_view::npos;) {
        const std::size_t end = std::min(text.find_first_of(kSpace, start), text.size());
        out.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(kSpace, end);
    }
    return out;
}

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

std::string format(double value)
{
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return ec == std::errc() ? std::string(buffer, end) : std::string("?");
}

// Gathers the arguments of one command and the first complaint about them.
struct Args {
    void count(std::size_t expected, std::string_view usage)
    {
        if (args.size() != expected)
            fail(std::string(name) + " takes " + std::to_string(expected) + (expected == 1 ? " argument" : " arguments")
                + (usage.empty() ? "" : " (" + std::string(usage) + ")") + ", got " + std::to_string(args.size()));
    }

    // After a complaint the rest is not read: it may not even be there.
    double number(std::size_t index, std::string_view label, double low, double high)
    {
        double value = 0;
        if (!error.empty())
            return value;
        const std::string_view text = args[index];
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range)
            fail(label, quoted(text) + " is out of range");
        else if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
            fail(label, quoted(text) + " is not a number");
        else if (value < low || value > high)
            fail(label, "must be between " + format(low) + " and " + format(high));
        return value;
    }

    std::uint32_t whole(std::size_t index, std::string_view label, std::int64_t low, std::int64_t high)
    {
        std::int64_t value = 0;
        if (!error.empty())
            return 0;
        const std::string_view text = args[index];
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range)
            value = text.starts_with('-') ? low - 1 : high + 1;
        else if (ec != std::errc() || end != text.data() + text.size())
            fail(label, quoted(text) + " is not a whole number");
        if (error.empty() && (value < low || value > high))
            fail(label, "must be between " + std::to_string(low) + " and " + std::to_string(high));
        return error.empty() ? static_cast<std::uint32_t>(value) : 0;
    }

    void fail(std::string_view label, const std::string &text)
    {
        fail(std::string(name) + ": " + std::string(label) + " " + text);
    }

    void fail(std::string text)
    {
        if (error.empty())
            error = std::move(text);
    }

    std::string_view name;
    std::vector<std::string_view> args;
    std::string error;
};

Command parseArgs(Args &a)
{
    const std::string_view name = a.name;
    const double c = kMaxCoordinate;
    if (name == "move") {
        a.count(2, "X Y");
        return MoveCommand{{a.number(0, "X", -c, c), a.number(1, "Y", -c, c)}};
    }
    if (name == "line") {
        a.count(5, "X1 Y1 X2 Y2 N");
        LineCommand line{{a.number(0, "X1", -c, c), a.number(1, "Y1", -c, c)},
            {a.number(2, "X2", -c, c), a.number(3, "Y2", -c, c)}, 0};
        // Both ends are sent, so one point cannot make a line.
        line.count = a.whole(4, "N", 2, kMaxMoves);
        return line;
    }
    if (name == "circle") {
        a.count(4, "CX CY R N");
        CircleCommand circle{{a.number(0, "CX", -c, c), a.number(1, "CY", -c, c)}, a.number(2, "R", 0, c), 0};
        circle.count = a.whole(3, "N", 1, kMaxMoves);
        return circle;
    }
    if (name == "rate") {
        a.count(1, "HZ");
        return RateCommand{a.number(0, "HZ", 0, kMaxRate)};
    }
    if (name == "wait") {
        a.count(1, "MS");
        return WaitCommand{a.whole(0, "MS", 0, kMaxWaitMs)};
    }
    if (name == "features") {
        FeaturesCommand features;
        for (std::size_t i = 0; i < a.args.size(); ++i)
            features.codes.push_back(static_cast<std::uint8_t>(a.whole(i, "code", 0, 255)));
        return features;
    }
    if (name == "raw") {
        if (a.args.empty()) {
            a.fail("raw takes the payload as hex bytes, got nothing");
            return {};
        }
        RawCommand raw;
        for (std::string_view token : a.args) {
            if (token.size() % 2 != 0) {
                a.fail("raw: " + quoted(token) + " is not whole bytes of hex");
                return {};
            }
            for (const char *p = token.data(); p != token.data() + token.size(); p += 2) {
                // Unsigned: no sign, no "0x", just the two digits.
                unsigned byte = 0;
                if (std::from_chars(p, p + 2, byte, 16).ptr != p + 2) {
                    a.fail("raw: " + quoted(token) + " is not hex");
                    return {};
                }
                raw.payload.push_back(static_cast<std::byte>(byte));
            }
        }
        return raw;
    }
    if (name == "close" || name == "exit") {
        a.count(0, "");
        return name == "close" ? Command(CloseCommand{}) : Command(ExitCommand{});
    }
    a.fail("unknown command " + quoted(name));
    return {};
}

} // namespace

ParseResult parseCommand(std::string_view text)
{
    std::vector<std::string_view> words = tokens(text);
    if (words.empty() || words.front().starts_with('#'))
        return {};
    Args args{words.front(), {words.begin() + 1, words.end()}, {}};
    Command command = parseArgs(args);
    if (!args.error.empty())
        return {ParseResult::Status::Error, {}, std::move(args.error)};
    return {ParseResult::Status::Command, std::move(command), {}};
}

std::vector<std::string_view> splitScript(std::string_view script)
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= script.size(); ++i) {
        if (i == script.size() || script[i] == ';' || script[i] == '\n') {
            pieces.push_back(script.substr(start, i - start));
            start = i + 1;
        }
    }
    return pieces;
}

bool needsLink(const Command &command)
{
    return !std::holds_alternative<RateCommand>(command) && !std::holds_alternative<WaitCommand>(command)
        && !std::holds_alternative<ExitCommand>(command);
}

std::uint32_t moveCount(const Command &command)
{
    if (std::holds_alternative<MoveCommand>(command))
        return 1;
    if (auto *line = std::get_if<LineCommand>(&command))
        return line->count;
    if (auto *circle = std::get_if<CircleCommand>(&command))
        return circle->count;
    return 0;
}

Point movePoint(const Command &command, std::uint32_t index)
{
    if (auto *move = std::get_if<MoveCommand>(&command))
        return move->to;
    if (auto *line = std::get_if<LineCommand>(&command)) {
        if (line->count < 2)
            return line->to;
        // lerp is exact at both ends, so the last point is the end point.
        double t = static_cast<double>(index) / static_cast<double>(line->count - 1);
        return {std::lerp(line->from.x, line->to.x, t), std::lerp(line->from.y, line->to.y, t)};
    }
    if (auto *circle = std::get_if<CircleCommand>(&command)) {
        double angle = 2 * std::numbers::pi * static_cast<double>(index) / static_cast<double>(circle->count);
        return {circle->center.x + circle->radius * std::cos(angle), circle->center.y + circle->radius * std::sin(angle)};
    }
    return {};
}

void LineReader::feed(const char *data, std::size_t size, std::vector<Line> *out)
{
    const char *end = data + size;
    while (data < end) {
        const char *newline = std::find(data, end, '\n');
        if (discarding) {
            if (newline != end)
                discarding = false;
        } else {
            std::size_t piece = static_cast<std::size_t>(newline - data);
            if (pending.size() + piece > kMaxLineLength) {
                // Reported now, with its number; the rest of it is skipped.
                out->push_back({++number, {}, true});
                pending.clear();
                discarding = newline == end;
            } else {
                pending.append(data, piece);
                if (newline != end) {
                    out->push_back({++number, std::move(pending), false});
                    pending.clear();
                }
            }
        }
        data = newline == end ? end : newline + 1;
    }
}

void LineReader::finish(std::vector<Line> *out)
{
    if (!pending.empty())
        out->push_back({++number, std::move(pending), false});
    pending.clear();
    discarding = false;
}

} // namespace StandIn
