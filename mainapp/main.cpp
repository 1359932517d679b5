#include "mainapp/main_app.h"
#include "mainapp/options.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Started with no arguments, as the helper starts it after installing
// itself, the stand-in takes its arguments from a file in its container,
// one per line, so a demo or a test can say what it should do then.
std::vector<std::string> launchArguments()
{
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        return {};
    std::ifstream in(std::string(home) + "/Library/Containers/" TESSARON_MAIN_APP_ID
                     "/Data/Library/Application Support/launch-arguments");
    std::vector<std::string> args;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            args.push_back(line);
    return args;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        args = launchArguments();
    StandIn::Options options;
    std::string error;
    if (!StandIn::parseOptions(args, &options, &error)) {
        std::fprintf(stderr, "tessaron: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(StandIn::usageText("tessaron").c_str(), stdout);
        return 0;
    }
    StandIn::MainApp app({TESSARON_MAIN_APP_ID, TESSARON_MAIN_APP_NAME,
        TESSARON_MAIN_APP_NAME " Helper.app/Contents/MacOS/tessaron-helper", std::move(options)});
    return app.run();
}
