#include "mainapp/options.h"

namespace StandIn {

bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *error)
{
    Options parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-c" && i + 1 < args.size()) {
            parsed.scripts.push_back(args[++i]);
        } else if (arg == "-c") {
            *error = "-c needs a script";
            return false;
        } else if (arg == "--no-features") {
            parsed.sendFeatures = false;
        } else if (arg == "--wrong-secret") {
            parsed.wrongSecret = true;
        } else if (arg == "--launch-helper") {
            parsed.launchHelper = true;
        } else if (arg == "--once") {
            parsed.once = true;
        } else if (arg == "-h" || arg == "--help") {
            parsed.help = true;
        } else {
            *error = (arg.starts_with('-') ? "unknown option \"" : "unexpected argument \"") + arg + "\"";
            return false;
        }
    }
    *options = std::move(parsed);
    return true;
}

std::string usageText(const std::string &program)
{
    return "usage: " + program + R"( [-c "cmd; cmd; ..."]... [--no-features] [--wrong-secret] [--launch-helper] [--once]

Stands in for the main app: listens on the link socket, answers the helper's
handshake, sends Features and then runs its commands: the -c scripts first,
then stdin (one command per line) when it is not a terminal.

Commands (those marked * wait for a connected helper):
  move X Y                 * one MovePointer
  line X1 Y1 X2 Y2 N       * N evenly spaced moves, both ends included (N >= 2)
  circle CX CY R N         * N moves around the circle, starting at (CX+R, CY)
  rate HZ                    pace the following moves (0: as fast as possible)
  wait MS                    pause, still serving the link
  features C...            * a Features message with those codes
  raw HEX                  * one payload given as hex bytes
  close                    * close the link and listen for the next helper
  exit                       close the link and end with status 0

Started without arguments (as the helper starts it), it reads them from
~/Library/Containers/<identifier>/Data/Library/Application Support/launch-arguments,
one argument per line, when that file exists.

Output, one event per line: listening <path>, connected, handshake-ok, ready,
features <code>, accessibility-status <version> <trusted>,
message <type> <hex>, sent <n> moves, error <text>, disconnected,
helper-launched <pid>, helper-exited <status>.
)";
}

} // namespace StandIn
