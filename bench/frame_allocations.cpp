// Heap allocations per 1,000 MovePointer frames on the helper's receive path:
// a real socket read on the Qt loop, the link client, the frame layer, the
// command service and the pointer. The main app's side is a plain
// socket written from this process.
#include "core/big_endian.h"
#include "network/ips_client.h"
#include "network/protocol_layer.h"
#include "platform/pointer.h"
#include "service/service.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::atomic<long> allocations{0};

struct CountingPointer : Platform::Pointer {
    long moves = 0;
    bool isAccessibilityTrusted() override { return true; }
    bool canCreateEventTap() override { return true; }
    Platform::Desktop desktop() override { return Platform::Desktop::X11; }
    void postPointerMove(double, double) override { ++moves; }
};

using Bytes = std::vector<std::byte>;

Bytes frame(const Bytes &payload)
{
    return KNetwork::encodeFrame(payload.data(), payload.size(), static_cast<std::uint32_t>(std::time(nullptr)));
}

Bytes moveFrame(double x, double y)
{
    Bytes m{std::byte{3}};
    KCore::appendBig32(m, 16);
    KCore::appendBigDouble(m, x);
    KCore::appendBigDouble(m, y);
    return frame(m);
}

void writeAll(int fd, const Bytes &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

void *operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

int main(int argc, char **argv)
{
    constexpr long kFrames = 100'000;
    const std::string secret = "0123-4567pro.tessaron.bench";
    QCoreApplication app(argc, argv);
    CountingPointer counting;

    char folder[] = "/tmp/tessaron-alloc-XXXXXX";
    if (!::mkdtemp(folder))
        return 1;
    const std::string path = std::string(folder) + "/link.sock";
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0)
        return 1;

    Platform::SystemClock clock;
    auto client = std::make_shared<KNetwork::IPSClient>(clock, static_cast<unsigned>(::getuid()));
    auto service = std::make_shared<Helper::Service>(counting);
    client->setSecret(secret);
    client->setOnMessage([&](const Bytes &message) { service->handleMessage(message); });
    service->setSender([&](const Bytes &message) { client->send(message); });
    bool connected = false;
    client->setOnConnected([&] { connected = true; });
    if (!client->connect(path, nullptr))
        return 1;
    int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    // Answer only once the helper's own handshake is out, as the main app does.
    std::byte theirs[16];
    while (::recv(peer, theirs, sizeof theirs, MSG_DONTWAIT | MSG_PEEK) < static_cast<ssize_t>(sizeof theirs))
        app.processEvents();
    const std::uint32_t value = KNetwork::handshakeValue(secret);
    writeAll(peer, frame({std::byte(value >> 24), std::byte(value >> 16), std::byte(value >> 8), std::byte(value)}));
    writeAll(peer, frame({std::byte{2}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}, std::byte{3}}));
    Bytes batch;
    for (int i = 0; i < 1000; ++i) {
        const Bytes f = moveFrame(i + 0.5, 1080.25);
        batch.insert(batch.end(), f.begin(), f.end());
    }
    while (!connected)
        app.processEvents(QEventLoop::WaitForMoreEvents);
    // Warm up: buffers reach the size they keep.
    writeAll(peer, batch);
    while (counting.moves < 1000)
        app.processEvents(QEventLoop::WaitForMoreEvents);

    const long before = allocations.load();
    for (long sent = 0; sent < kFrames; sent += 1000) {
        writeAll(peer, batch);
        while (counting.moves < 1000 + sent + 1000)
            app.processEvents(QEventLoop::WaitForMoreEvents);
    }
    const long during = allocations.load() - before;
    std::printf("frames: %ld, heap allocations: %ld, per 1,000 frames: %.1f\n", kFrames, during,
        1000.0 * static_cast<double>(during) / static_cast<double>(kFrames));

    client.reset();
    ::close(peer);
    ::close(listener);
    ::unlink(path.c_str());
    ::rmdir(folder);
    return 0;
}
