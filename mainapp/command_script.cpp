#include "mainapp/command_script.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <optional>

namespace StandIn {

namespace {

std::vector<std::string_view> tokens(std::string_view text)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !isSpace(text[i]))
            ++i;
        if (i > start)
            out.push_back(text.substr(start, i - start));
    }
    return out;
}

std::string quoted(std::string_view text)
{
    return "\"" + std::string(text) + "\"";
}

// Gathers the arguments of one command and the first complaint about them.
class Args {
public:
    Args(std::string_view name, std::vector<std::string_view> args)
        : name(name), args(std::move(args))
    {
    }

    bool count(std::size_t expected, std::string_view usage)
    {
        if (args.size() == expected)
            return true;
        fail(std::string(name) + " takes " + std::to_string(expected) + (expected == 1 ? " argument" : " arguments")
            + (usage.empty() ? "" : " (" + std::string(usage) + ")") + ", got " + std::to_string(args.size()));
        return false;
    }

    double number(std::size_t index, std::string_view label, double low, double high)
    {
        std::string_view text = args[index];
        double value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range) {
            fail(std::string(name) + ": " + std::string(label) + " " + quoted(text) + " is out of range");
            return 0;
        }
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
            fail(std::string(name) + ": " + std::string(label) + " " + quoted(text) + " is not a number");
            return 0;
        }
        if (value < low || value > high)
            fail(std::string(name) + ": " + std::string(label) + " must be between " + format(low) + " and "
                + format(high));
        return value;
    }

    std::uint32_t whole(std::size_t index, std::string_view label, std::int64_t low, std::int64_t high)
    {
        std::string_view text = args[index];
        std::int64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range) {
            value = text.starts_with('-') ? low - 1 : high + 1;
        } else if (ec != std::errc() || end != text.data() + text.size()) {
            fail(std::string(name) + ": " + std::string(label) + " " + quoted(text) + " is not a whole number");
            return 0;
        }
        if (value < low || value > high) {
            fail(std::string(name) + ": " + std::string(label) + " must be between " + std::to_string(low) + " and "
                + std::to_string(high));
            return 0;
        }
        return static_cast<std::uint32_t>(value);
    }

    void fail(std::string text)
    {
        if (error.empty())
            error = std::move(text);
    }

    std::string_view name;
    std::vector<std::string_view> args;
    std::string error;

private:
    static std::string format(double value)
    {
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
        return ec == std::errc() ? std::string(buffer, end) : std::string("?");
    }
};

std::optional<std::byte> hexByte(char high, char low)
{
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    int h = digit(high), l = digit(low);
    if (h < 0 || l < 0)
        return std::nullopt;
    return static_cast<std::byte>(h * 16 + l);
}

Command parseArgs(Args &a)
{
    const std::string_view name = a.name;
    const double c = kMaxCoordinate;
    if (name == "move") {
        if (!a.count(2, "X Y"))
            return {};
        return MoveCommand{{a.number(0, "X", -c, c), a.number(1, "Y", -c, c)}};
    }
    if (name == "line") {
        if (!a.count(5, "X1 Y1 X2 Y2 N"))
            return {};
        LineCommand line{{a.number(0, "X1", -c, c), a.number(1, "Y1", -c, c)},
            {a.number(2, "X2", -c, c), a.number(3, "Y2", -c, c)}, 0};
        // Both ends are sent, so one point cannot make a line.
        line.count = a.whole(4, "N", 2, kMaxMoves);
        return line;
    }
    if (name == "circle") {
        if (!a.count(4, "CX CY R N"))
            return {};
        CircleCommand circle{{a.number(0, "CX", -c, c), a.number(1, "CY", -c, c)}, a.number(2, "R", 0, c), 0};
        circle.count = a.whole(3, "N", 1, kMaxMoves);
        return circle;
    }
    if (name == "rate") {
        if (!a.count(1, "HZ"))
            return {};
        return RateCommand{a.number(0, "HZ", 0, kMaxRate)};
    }
    if (name == "wait") {
        if (!a.count(1, "MS"))
            return {};
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
            for (std::size_t i = 0; i < token.size(); i += 2) {
                auto byte = hexByte(token[i], token[i + 1]);
                if (!byte) {
                    a.fail("raw: " + quoted(token) + " is not hex");
                    return {};
                }
                raw.payload.push_back(*byte);
            }
        }
        return raw;
    }
    if (name == "close") {
        a.count(0, "");
        return CloseCommand{};
    }
    if (name == "exit") {
        a.count(0, "");
        return ExitCommand{};
    }
    a.fail("unknown command " + quoted(name));
    return {};
}

} // namespace

ParseResult parseCommand(std::string_view text)
{
    ParseResult result;
    std::vector<std::string_view> words = tokens(text);
    if (words.empty() || words.front().starts_with('#'))
        return result;
    Args args(words.front(), std::vector<std::string_view>(words.begin() + 1, words.end()));
    result.command = parseArgs(args);
    if (!args.error.empty()) {
        result.status = ParseResult::Status::Error;
        result.error = std::move(args.error);
        result.command = {};
    } else {
        result.status = ParseResult::Status::Command;
    }
    return result;
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
