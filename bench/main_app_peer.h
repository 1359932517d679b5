#pragma once

// What the end-to-end benchmarks share: the main app's side of the link,
// written by hand against the frame layer, and the latency figures.
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "platform/linux/machine_id.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace Bench {

using Clock = std::chrono::steady_clock;

// Thrown by fail(): a bench's main reports it once the destructors have
// stopped what it started and removed its folders.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string &what)
{
    throw Failure(what);
}

inline int report(const Failure &failure)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, failure.what());
    return 1;
}

struct Point {
    int x, y;
    bool operator==(const Point &) const = default;
};

inline double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The value at quantile q of a sorted, non-empty list.
inline double percentile(const std::vector<double> &sorted, double q)
{
    auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
    return sorted[std::min(sorted.size() - 1, at)];
}

inline void writeAll(int fd, const void *bytes, std::size_t size)
{
    const auto *data = static_cast<const std::byte *>(bytes);
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0)
            fail(std::string("write to the peer: ") + std::strerror(errno));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// A listening socket at the path; the one connection it takes.
inline int listenAt(const std::string &path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
        fail("cannot listen at " + path);
    return fd;
}

// The connection, or -1 when none came within 20 s.
inline int acceptOne(int listenFd)
{
    pollfd p = {listenFd, POLLIN, 0};
    return ::poll(&p, 1, 20000) > 0 ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

inline std::vector<std::byte> movePayload(Point p)
{
    std::vector<std::byte> out = {std::byte{3}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{16}};
    for (double v : {static_cast<double>(p.x), static_cast<double>(p.y)}) {
        auto bits = std::bit_cast<std::uint64_t>(v);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::byte>(bits >> shift));
    }
    return out;
}

// The main app's side: listens, accepts the helper, completes the handshake
// and enables pointer moves.
class MainAppPeer {
public:
    MainAppPeer(const std::string &path)
    {
        listenFd = listenAt(path);
        layer = std::make_shared<KNetwork::ProtocolLayer>(false, clock);
        layer->setSecret(KNetwork::linkSecret("pro.tessaron", Linux::machineUUID()));
        layer->setOnSend([this](const std::vector<std::byte> &frame) {
            writeAll(fd, frame.data(), frame.size());
            return true;
        });
        layer->setOnHandshake([this] { ready = true; });
        layer->setOnData([this](const std::vector<std::byte> &payload) {
            if (payload.size() == 6 && payload[0] == std::byte{2})
                featuresAnswered = true;
        });
    }
    ~MainAppPeer()
    {
        if (fd >= 0)
            ::close(fd);
        ::close(listenFd);
    }
    MainAppPeer(const MainAppPeer &) = delete;
    MainAppPeer &operator=(const MainAppPeer &) = delete;

    void connectHelper()
    {
        if ((fd = acceptOne(listenFd)) < 0)
            fail("the helper did not connect");
        pump([&] { return ready; });
        std::vector<std::byte> features = {std::byte{2}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{3}};
        layer->send(features.data(), features.size());
        pump([&] { return featuresAnswered; });
    }

    std::vector<std::byte> frame(Point p)
    {
        auto payload = movePayload(p);
        return KNetwork::encodeFrame(payload.data(), payload.size(), static_cast<std::uint32_t>(::time(nullptr)));
    }
    int socket() const { return fd; }

private:
    template <typename Done> void pump(Done done)
    {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (Clock::now() > deadline)
                fail("no answer from the helper");
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            std::vector<std::byte> chunk(8192);
            ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n <= 0)
                fail("the helper closed the link");
            chunk.resize(static_cast<std::size_t>(n));
            layer->processIncoming(chunk);
        }
    }

    int listenFd = -1;
    int fd = -1;
    bool ready = false;
    bool featuresAnswered = false;
    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
};

} // namespace Bench
