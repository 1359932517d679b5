#include "mainapp/signals.h"

#include "mainapp/events.h"

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace StandIn {

bool Signals::install(std::string *error)
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int signo : {SIGTERM, SIGINT, SIGCHLD})
        sigaddset(&handled, signo);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signalFd = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0)
        *error = systemError("cannot read signals", errno);
    return signalFd >= 0;
}

Signals::~Signals()
{
    if (signalFd >= 0)
        ::close(signalFd);
}

int Signals::take()
{
    int received = 0;
    signalfd_siginfo info;
    while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        received |= info.ssi_signo == SIGCHLD ? ChildExited : Stop;
    return received;
}

short Signals::resetForChild(posix_spawnattr_t *attributes)
{
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    // An ignored signal stays ignored across exec.
    posix_spawnattr_setsigdefault(attributes, &pipe);
    posix_spawnattr_setsigmask(attributes, &none);
    return POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
}

} // namespace StandIn
