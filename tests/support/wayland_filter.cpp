// A relay between Wayland clients and a compositor that hides the named
// globals, so tests can show a compositor that offers no input injection.
//
//   wayland-global-filter LISTEN_PATH UPSTREAM_PATH INTERFACE...

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <poll.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kBacklog = 64 * 1024;  // written-out bytes pending before the other side pauses
constexpr std::size_t kMaxFdsPerSend = 28;   // libwayland fails a read that brings more
constexpr std::size_t kMaxFdsPerRecv = 253;  // the kernel's limit

struct Side {
    Side() = default;
    Side(const Side &) = delete;
    ~Side()
    {
        if (fd >= 0)
            ::close(fd);
        for (int queued : outFds)
            ::close(queued);
    }
    int fd = -1;
    std::vector<char> in;   // read, not yet a whole message
    std::vector<char> out;  // whole messages waiting to be written
    std::deque<int> outFds;
};

struct Pair {
    Side side[2];  // 0: the client, 1: the compositor
    std::set<uint32_t> registries;
    bool dead = false;
};

std::set<std::string> hidden;
volatile std::sig_atomic_t stopping = 0;

uint32_t word(const char *p)
{
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

bool makeAddress(const char *path, sockaddr_un *address)
{
    *address = {};
    address->sun_family = AF_UNIX;
    return std::snprintf(address->sun_path, sizeof address->sun_path, "%s", path) < int(sizeof address->sun_path);
}

// Whether a whole message from side `from` is relayed; notes registries on the way.
bool keep(Pair &pair, int from, const char *msg, uint32_t size)
{
    const uint32_t object = word(msg), opcode = word(msg + 4) & 0xffff;
    // wl_display.get_registry (a request) and wl_display.delete_id (an event) share opcode 1.
    if (object == 1 && opcode == 1 && size >= 12) {
        if (from == 0)
            pair.registries.insert(word(msg + 8));
        else
            pair.registries.erase(word(msg + 8));
    }
    if (from == 0 || opcode != 0 || size < 16 || !pair.registries.contains(object))
        return true;
    const uint32_t length = word(msg + 12);  // wl_registry.global: name, interface, version
    if (length == 0 || length > size - 16)
        return true;
    return !hidden.contains(std::string(msg + 16, length - 1));
}

void relay(Pair &pair, int from)
{
    Side &src = pair.side[from], &dst = pair.side[1 - from];
    std::size_t at = 0;
    while (src.in.size() - at >= 8) {
        const uint32_t size = word(src.in.data() + at + 4) >> 16;
        if (size < 8) {
            pair.dead = true;
            return;
        }
        if (src.in.size() - at < size)
            break;
        if (keep(pair, from, src.in.data() + at, size))
            dst.out.insert(dst.out.end(), src.in.begin() + at, src.in.begin() + at + size);
        at += size;
    }
    src.in.erase(src.in.begin(), src.in.begin() + at);
}

// False once the side has closed or failed.
bool writeTo(Side &dst)
{
    while (!dst.out.empty()) {
        const std::size_t fds = std::min(dst.outFds.size(), kMaxFdsPerSend);
        // Descriptors must not fall behind their bytes: while many wait, few bytes go with each batch.
        iovec iov = {dst.out.data(), dst.outFds.size() > kMaxFdsPerSend ? std::min<std::size_t>(dst.out.size(), 4)
                                                                          : dst.out.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(kMaxFdsPerSend * sizeof(int))] = {};
        msghdr msg = {nullptr, 0, &iov, 1, nullptr, 0, 0};
        if (fds > 0) {
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(fds * sizeof(int));
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(fds * sizeof(int));
            for (std::size_t i = 0; i < fds; ++i)
                std::memcpy(CMSG_DATA(c) + i * sizeof(int), &dst.outFds[i], sizeof(int));
        }
        const ssize_t n = ::sendmsg(dst.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        for (std::size_t i = 0; i < fds; ++i) {
            ::close(dst.outFds.front());
            dst.outFds.pop_front();
        }
        dst.out.erase(dst.out.begin(), dst.out.begin() + n);
    }
    return true;
}

// False once the side has closed or failed.
bool readFrom(Pair &pair, int from)
{
    char data[16384];
    alignas(cmsghdr) char control[CMSG_SPACE(kMaxFdsPerRecv * sizeof(int))];
    iovec iov = {data, sizeof data};
    msghdr msg = {nullptr, 0, &iov, 1, control, sizeof control, 0};
    const ssize_t n = ::recvmsg(pair.side[from].fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        for (std::size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            pair.side[1 - from].outFds.push_back(fd);
        }
    }
    if (n == 0 || (msg.msg_flags & MSG_CTRUNC))
        return false;
    pair.side[from].in.insert(pair.side[from].in.end(), data, data + n);
    relay(pair, from);
    return writeTo(pair.side[1 - from]);
}

} // namespace

int main(int argc, char **argv)
{
    sockaddr_un listenAddress, upstreamAddress;
    if (argc < 3 || !makeAddress(argv[1], &listenAddress) || !makeAddress(argv[2], &upstreamAddress)) {
        std::fprintf(stderr, "usage: %s LISTEN_PATH UPSTREAM_PATH INTERFACE...\n", argv[0]);
        return 2;
    }
    hidden.insert(argv + 3, argv + argc);
    // SIGTERM is let in only during ppoll, so no stop is missed between two checks.
    sigset_t term, none;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigemptyset(&none);
    ::sigprocmask(SIG_BLOCK, &term, nullptr);
    struct sigaction onTerm = {};
    onTerm.sa_handler = [](int) { stopping = 1; };
    ::sigaction(SIGTERM, &onTerm, nullptr);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&listenAddress), sizeof listenAddress) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    if (::listen(listener, 64) != 0) {
        std::perror("listen");
        ::unlink(argv[1]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::list<Pair> pairs;
    std::vector<pollfd> polls;
    int status = 0;
    while (!stopping) {
        polls.assign(1, {listener, POLLIN, 0});
        for (const Pair &p : pairs)
            for (int k = 0; k < 2; ++k)
                polls.push_back({p.side[k].fd,
                                 static_cast<short>((p.side[1 - k].out.size() < kBacklog ? POLLIN : 0) |
                                                    (p.side[k].out.empty() ? 0 : POLLOUT)),
                                 0});
        if (::ppoll(polls.data(), polls.size(), nullptr, &none) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("ppoll");
            status = 1;
            break;
        }
        std::size_t i = 1;
        for (Pair &p : pairs) {
            for (int k = 0; k < 2; ++k, ++i) {
                const short events = polls[i].revents;
                if (!p.dead && (events & POLLOUT) && !writeTo(p.side[k]))
                    p.dead = true;
                // A hung-up side is read even when paused, else poll would spin on it.
                if (!p.dead && (events & (POLLIN | POLLHUP | POLLERR)) && !readFrom(p, k)) {
                    writeTo(p.side[1 - k]);  // best effort: what came before the close still goes
                    p.dead = true;
                }
            }
        }
        pairs.remove_if([](const Pair &p) { return p.dead; });
        if (!(polls[0].revents & POLLIN))
            continue;
        for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
            Pair &pair = pairs.emplace_back();
            pair.side[0].fd = client;
            // A local connect never waits: it succeeds or fails at once.
            pair.side[1].fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (pair.side[1].fd < 0 ||
                ::connect(pair.side[1].fd, reinterpret_cast<sockaddr *>(&upstreamAddress), sizeof upstreamAddress) != 0) {
                std::perror(argv[2]);
                pairs.pop_back();
            }
        }
    }
    ::close(listener);
    ::unlink(argv[1]);
    return status;
}
