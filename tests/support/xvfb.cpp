#include "tests/support/xvfb.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TestSupport {

Xvfb::~Xvfb()
{
    stop();
}

bool Xvfb::start(const std::vector<std::string> &extra)
{
    return launch("", extra);
}

bool Xvfb::startOn(const std::string &display, const std::vector<std::string> &extra)
{
    return launch(display, extra);
}

bool Xvfb::launch(const std::string &display, const std::vector<std::string> &extra)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return false;
    // -displayfd picks a free display and writes its number when ready;
    // -noreset keeps the pointer and the server alive between clients.
    std::vector<std::string> argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset",
                                     "-screen", "0", "1280x800x24"};
    if (!display.empty())
        argv.insert(argv.begin() + 1, display);
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid = ::fork();
    if (pid == 0) {
        ::dup2(ready[1], 3);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execvp("Xvfb", args.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    std::string number;
    pollfd fd = {ready[0], POLLIN, 0};
    while (::poll(&fd, 1, 10000) > 0) {
        char c;
        if (::read(ready[0], &c, 1) != 1 || c == '\n')
            break;
        number.push_back(c);
    }
    ::close(ready[0]);
    if (pid < 0 || number.empty()) {
        stop();
        return false;
    }
    name = ":" + number;
    return true;
}

void Xvfb::stop()
{
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

} // namespace TestSupport
