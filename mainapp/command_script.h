#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The stand-in main app's command language: one command per line, or several
// on one line separated by ";". Pure text in, values out; running them is
// MainApp's business.
namespace StandIn {

// One move command sends at most this many MovePointer messages.
inline constexpr std::uint32_t kMaxMoves = 1'000'000;
// Coordinates and radii stay well inside what a double holds exactly enough
// for the generated points to be finite and evenly spaced.
inline constexpr double kMaxCoordinate = 1e9;
inline constexpr double kMaxRate = 1e6;
inline constexpr std::uint32_t kMaxWaitMs = 86'400'000;
// Longer input lines are refused rather than buffered without bound.
inline constexpr std::size_t kMaxLineLength = 256 * 1024;

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point &) const = default;
};

struct MoveCommand {
    Point to;
    bool operator==(const MoveCommand &) const = default;
};
struct LineCommand {
    Point from;
    Point to;
    std::uint32_t count = 0; // both ends included, so at least 2
    bool operator==(const LineCommand &) const = default;
};
struct CircleCommand {
    Point center;
    double radius = 0;
    std::uint32_t count = 0;
    bool operator==(const CircleCommand &) const = default;
};
struct RateCommand {
    double hz = 0; // 0: as fast as the socket takes them
    bool operator==(const RateCommand &) const = default;
};
struct WaitCommand {
    std::uint32_t milliseconds = 0;
    bool operator==(const WaitCommand &) const = default;
};
struct FeaturesCommand {
    std::vector<std::uint8_t> codes;
    bool operator==(const FeaturesCommand &) const = default;
};
struct RawCommand {
    std::vector<std::byte> payload;
    bool operator==(const RawCommand &) const = default;
};
struct CloseCommand {
    bool operator==(const CloseCommand &) const = default;
};
struct ExitCommand {
    bool operator==(const ExitCommand &) const = default;
};

using Command = std::variant<MoveCommand, LineCommand, CircleCommand, RateCommand, WaitCommand, FeaturesCommand,
    RawCommand, CloseCommand, ExitCommand>;

struct ParseResult {
    enum class Status { Command, Blank, Error };
    Status status = Status::Blank;
    Command command;
    std::string error; // one line, without the location
};

// Blank lines and lines starting with "#" are Blank.
ParseResult parseCommand(std::string_view text);

// Splits a "-c" script at ";" and newlines. Empty pieces are kept so that a
// piece's position (1-based) names it in error messages.
std::vector<std::string_view> splitScript(std::string_view script);

// Commands that act on the link wait for a connected, verified helper; the
// others run as soon as they are reached.
bool needsLink(const Command &command);

// How many MovePointer messages a command sends (0 for the others), and the
// point of message `index` < moveCount(command).
std::uint32_t moveCount(const Command &command);
Point movePoint(const Command &command, std::uint32_t index);

// Cuts a byte stream into numbered lines, keeping at most kMaxLineLength
// bytes of the line it waits for.
class LineReader {
public:
    struct Line {
        std::size_t number = 0;
        std::string text;
        bool tooLong = false; // the text is dropped; reported once per line
        bool operator==(const Line &) const = default;
    };

    // Appends the complete lines found to `out`.
    void feed(const char *data, std::size_t size, std::vector<Line> *out);
    // End of input: a last line without its newline is still a line.
    void finish(std::vector<Line> *out);

private:
    std::string pending;
    std::size_t number = 0;
    bool discarding = false;
};

} // namespace StandIn
