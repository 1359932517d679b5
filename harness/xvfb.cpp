#include "harness/xvfb.h"

#include "harness/process.h"

#include <csignal>

namespace Harness {

Xvfb::Xvfb() = default;

Xvfb::~Xvfb()
{
    stop();
}

bool Xvfb::start(const std::vector<std::string> &extra)
{
    return startOn("", extra);
}

bool Xvfb::startOn(const std::string &display, const std::vector<std::string> &extra)
{
    stop();
    // -displayfd picks a free display and writes its number when ready;
    // -noreset keeps the pointer and the server alive between clients. Its
    // log goes nowhere, so no pipe of ours can fill and stop it.
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec Xvfb \"$@\" 2>/dev/null", "sh"};
    if (!display.empty())
        argv.push_back(display);
    argv.insert(argv.end(), {"-displayfd", "1", "-nolisten", "tcp", "-noreset", "-screen", "0", "1280x800x24"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    server = std::make_unique<Process>();
    std::string number;
    if (!server->start(argv) || !server->readLine(&number, std::chrono::seconds(10)) || number.empty()) {
        stop();
        return false;
    }
    name = ":" + number;
    return true;
}

void Xvfb::stop()
{
    if (server) {
        server->signal(SIGTERM);
        server->wait(std::chrono::seconds(10));
    }
    server.reset();
}

} // namespace Harness
