#include "mainapp/listener.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace StandIn {

namespace {

// Rather than spin on a listening socket that stays readable.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

} // namespace

bool Listener::listen(const std::string &socketPath, std::string *error)
{
    auto refuse = [error](std::string reason) {
        *error = std::move(reason);
        return false;
    };
    path = socketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Never cut to a path that names another file.
    if (path.size() >= sizeof address.sun_path)
        return refuse("socket path is longer than a socket address holds: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto *name = reinterpret_cast<const sockaddr *>(&address);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return refuse(path + " exists and is not a socket");
        bool live = false;
        if (int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); probe >= 0) {
            live = ::connect(probe, name, sizeof address) == 0 || errno == EAGAIN || errno == EINPROGRESS;
            ::close(probe);
        }
        if (live)
            return refuse("another main app is listening at " + path);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return refuse(systemError("cannot remove the stale socket " + path, errno));
    }

    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd < 0)
        return refuse(systemError("cannot make a socket", errno));
    if (::bind(listenFd, name, sizeof address) != 0)
        return refuse(systemError("cannot bind " + path, errno));
    ownsFile = ::stat(path.c_str(), &st) == 0;
    device = st.st_dev;
    inode = st.st_ino;
    return ::listen(listenFd, 8) == 0 || refuse(systemError("cannot listen on " + path, errno));
}

Listener::~Listener()
{
    if (listenFd >= 0)
        ::close(listenFd);
    // Only our own file: another instance may have taken the name since.
    struct stat st {};
    if (ownsFile && ::stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
        ::unlink(path.c_str());
}

int Listener::accept(Clock::time_point now)
{
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
        complain(systemError("cannot accept a connection", errno));
        paused = now + kAcceptBackoff;
    }
    return fd;
}

} // namespace StandIn
