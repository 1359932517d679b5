#pragma once

#include <string>
#include <vector>

// The stand-in's command line.
namespace StandIn {

struct Options {
    std::vector<std::string> scripts; // each "-c" in order; run before stdin
    bool sendFeatures = true;         // --no-features clears it
    bool wrongSecret = false;
    bool launchHelper = false;
    bool once = false;
    bool help = false;
};

// argv without the program name. False with a one-line reason on a bad
// option or a "-c" without its script.
bool parseOptions(const std::vector<std::string> &args, Options *options, std::string *error);

// What --help prints.
std::string usageText(const std::string &program);

} // namespace StandIn
