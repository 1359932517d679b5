#pragma once

#include <chrono>
#include <string>

// What the stand-in tells its driver: events on stdout, one line each and
// written at once; complaints on stderr.
namespace StandIn {

using Clock = std::chrono::steady_clock;

void emit(const std::string &line);
void complain(const std::string &text);
// "what: " and the text of errno value `error`.
std::string systemError(const std::string &what, int error);

} // namespace StandIn
