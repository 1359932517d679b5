#include "mainapp/main_app.h"

#include "network/link_config.h"
#include "platform/linux/machine_id.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace StandIn {

namespace {

// mkdir -p; only the folders it makes get mode 0700.
bool makeFolders(const std::string &path, std::string *error)
{
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0700) == 0)
            continue;
        const int failure = errno;
        struct stat st {};
        if (failure == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        *error = failure == EEXIST ? prefix + " exists and is not a folder"
                                   : systemError("cannot create folder " + prefix, failure);
        return false;
    }
    return true;
}

} // namespace

int MainApp::run()
{
    auto refuse = [](const std::string &reason) {
        complain(reason);
        return 2;
    };
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        return refuse("HOME is not set; it holds the containers");
    if (home[0] != '/')
        return refuse("HOME must be an absolute path, not \"" + std::string(home) + "\"");
    // Checked before anything is made: a path that does not fit is refused,
    // never cut to one that names another file.
    const std::string socketPath = KNetwork::linkSocketPath(config.name);
    constexpr std::size_t kRoom = sizeof(sockaddr_un{}.sun_path) - 1;
    if (socketPath.size() > kRoom)
        return refuse("socket path is " + std::to_string(socketPath.size())
            + " bytes, longer than a socket address holds (" + std::to_string(kRoom) + "): " + socketPath);
    const std::string support =
        std::string(home) + "/Library/Containers/" + config.identifier + "/Data/Library/Application Support";
    std::string error;
    // The signals come before the socket, so that a SIGTERM from then on still removes it.
    if (!makeFolders(support, &error)
        || !makeFolders(KNetwork::groupContainerPath(KNetwork::kAppGroupIdentifier), &error)
        || !signals.install(&error) || !listener.listen(socketPath, &error))
        return refuse(error);
    emit("listening " + socketPath);
    if (config.options.launchHelper)
        helper.launch(support + "/" + config.helperExecutable);
    script.begin(config.options.scripts);
    return serve();
}

int MainApp::serve()
{
    for (;;) {
        Clock::time_point now = Clock::now();
        script.advance(linkOrNull(), now);
        if (link)
            link->flush();
        // Once more: written frames may have completed a command.
        script.advance(linkOrNull(), now);
        if (link && link->over(now)) {
            script.linkLost(*link);
            link.reset();
            emit("disconnected");
            linkEnded = true;
        }
        if (!link && (script.exiting() || (config.options.once && linkEnded)))
            return 0;

        pollfd fds[4];
        nfds_t count = 0;
        auto watch = [&](int fd, int events) {
            fds[count] = {fd, static_cast<short>(events), 0};
            return static_cast<int>(count++);
        };
        watch(signals.fd(), POLLIN);
        const int listenIndex =
            !link && !script.exiting() && now >= listener.pausedUntil() ? watch(listener.fd(), POLLIN) : -1;
        const int linkIndex = link ? watch(link->fd(), POLLIN | (link->pending() > 0 ? POLLOUT : 0)) : -1;
        const int stdinIndex = script.wantsStdin() ? watch(STDIN_FILENO, POLLIN) : -1;
        if (::poll(fds, count, pollTimeout(now)) < 0) {
            if (errno == EINTR)
                continue;
            complain(systemError("poll failed", errno));
            return 1;
        }
        now = Clock::now();

        const int received = fds[0].revents ? signals.take() : 0;
        if (received & Signals::Stop)
            return 0;
        if (received & Signals::ChildExited)
            helper.reap();
        if (listenIndex >= 0 && fds[listenIndex].revents)
            accept(now);
        if (linkIndex >= 0 && (fds[linkIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            link->read();
        if (stdinIndex >= 0 && fds[stdinIndex].revents)
            script.readStdin(fds[stdinIndex].revents);
    }
}

// Until the script's next step, a closing link's deadline or the end of an
// accept pause, whichever comes first; no timeout when none is due.
int MainApp::pollTimeout(Clock::time_point now)
{
    constexpr Clock::time_point kNever = Clock::time_point::max();
    Clock::time_point wake = script.nextWake(linkOrNull(), now).value_or(kNever);
    if (link && link->closeBy())
        wake = std::min(wake, *link->closeBy());
    if (!link && listener.pausedUntil() > now)
        wake = std::min(wake, listener.pausedUntil());
    if (wake == kNever)
        return -1;
    // Rounded up: waking a little early would only spin once more.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration::zero()));
    return static_cast<int>(std::min<std::int64_t>(wait.count(), 3'600'000));
}

void MainApp::accept(Clock::time_point now)
{
    const int fd = listener.accept(now);
    if (fd < 0)
        return;
    const std::string secret = KNetwork::linkSecret(config.identifier, Linux::machineUUID());
    // With --wrong-secret our answer carries another secret's value, so the
    // helper's check fails while ours still passes.
    link.emplace(fd, FrameLayer(secret, config.options.wrongSecret ? secret + "~" : secret),
        config.options.sendFeatures);
    emit("connected");
}

} // namespace StandIn
