#include "mainapp/main_app.h"
#include "mainapp/options.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
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
