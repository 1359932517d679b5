#include "network/unix_socket_client.h"

#include "core/callback.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace KNetwork {

struct UnixSocketClient::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(unsigned peerUserId) : peerUserId(peerUserId) {}

    const unsigned peerUserId;
    KCore::Callback<void(const std::vector<std::byte> &)> onData;
    KCore::Callback<void()> onDisconnected;
    KCore::Callback<void()> onConnected;
    KCore::Callback<void()> onDrained;
    // Each read lands here and is handed over as it is; reused, so a stream
    // costs no allocation per read.
    std::vector<std::byte> chunk;
    bool delivering = false;
    int fd = -1;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    std::vector<std::byte> queue;
    std::size_t queueOffset = 0;
    bool connecting = false;
    bool lost = false;
    bool writeBroken = false;
    // Reading stopped until the queue drains.
    bool paused = false;
    // Counts connections, so a loss posted for one never ends the next.
    unsigned generation = 0;
    // A listener whose backlog is full answers EAGAIN: tried again for a
    // second before the connection counts as refused.
    int pendingFd = -1;
    sockaddr_un address = {};
    socklen_t addressLength = 0;
    std::chrono::steady_clock::time_point retryUntil;

    ~Impl() { teardown(); }

    void watch();
    void teardown();
    void readReady();
    void writeReady();
    bool peerAcceptable();
    void deliver(std::vector<std::byte> &target);
    void drainAndLose(unsigned lostGeneration);
    void scheduleRetry();
    void retryConnect(unsigned forGeneration);
    void startConnecting(int connectedFd);
    bool enqueue(const std::byte *data, std::size_t size);
    void flushQueue();
    void lose();
    void writeFailed();
};

namespace {

void setError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

// Notifiers go through the loop: one may be torn down from inside its own
// notification, when a callback drops the client.
void retire(QSocketNotifier *&notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

} // namespace

void UnixSocketClient::Impl::watch()
{
    std::weak_ptr<Impl> weak = weak_from_this();
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    // Not one byte is read before the peer is known to be ours.
    readNotifier->setEnabled(false);
    QObject::connect(readNotifier, &QSocketNotifier::activated, [weak] {
        if (auto self = weak.lock())
            self->readReady();
    });
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(writeNotifier, &QSocketNotifier::activated, [weak] {
        if (auto self = weak.lock())
            self->writeReady();
    });
}

void UnixSocketClient::Impl::teardown()
{
    retire(readNotifier);
    retire(writeNotifier);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (pendingFd >= 0)
        ::close(pendingFd);
    pendingFd = -1;
    ++generation;
    queue.clear();
    queueOffset = 0;
    connecting = false;
    lost = false;
    writeBroken = false;
    paused = false;
}

void UnixSocketClient::Impl::readReady()
{
    // A nested event loop inside a data callback (a modal alert) may bring
    // us here again: that read must not land in the chunk being handed over.
    std::vector<std::byte> nested;
    std::vector<std::byte> &target = delivering ? nested : chunk;
    target.resize(kReadChunk);
    ssize_t n;
    do {
        n = ::read(fd, target.data(), target.size());
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        target.resize(static_cast<std::size_t>(n));
        deliver(target);
        return;
    }
    // Nothing to read after all: the notifier tells us when to go on.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    lose();
}

void UnixSocketClient::Impl::deliver(std::vector<std::byte> &target)
{
    const bool wasDelivering = std::exchange(delivering, true);
    onData(target);
    delivering = wasDelivering;
}

// What had arrived when the write failed is handed over, then the loss.
// Only that much: a peer that no longer reads may still write forever.
void UnixSocketClient::Impl::drainAndLose(unsigned lostGeneration)
{
    auto keep = shared_from_this();
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0)
        pending = 0;
    std::vector<std::byte> rest;
    while (pending > 0 && generation == lostGeneration && !lost) {
        rest.resize(std::min(kReadChunk, static_cast<std::size_t>(pending)));
        ssize_t n = ::read(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending -= static_cast<int>(n);
        rest.resize(static_cast<std::size_t>(n));
        deliver(rest);
    }
    if (generation == lostGeneration && !lost)
        lose();
}

void UnixSocketClient::Impl::startConnecting(int connectedFd)
{
    fd = connectedFd;
    connecting = true;
    watch();
}

void UnixSocketClient::Impl::scheduleRetry()
{
    std::weak_ptr<Impl> weak = weak_from_this();
    QTimer::singleShot(20, QCoreApplication::instance(), [weak, current = generation] {
        if (auto self = weak.lock())
            self->retryConnect(current);
    });
}

void UnixSocketClient::Impl::retryConnect(unsigned forGeneration)
{
    if (forGeneration != generation || pendingFd < 0)
        return;
    const int result = ::connect(pendingFd, reinterpret_cast<const sockaddr *>(&address), addressLength);
    if (result == 0 || errno == EINPROGRESS || errno == EINTR) {
        startConnecting(std::exchange(pendingFd, -1));
        return;
    }
    if (errno == EAGAIN && std::chrono::steady_clock::now() < retryUntil) {
        scheduleRetry();
        return;
    }
    ::close(std::exchange(pendingFd, -1));
    lose();
}

bool UnixSocketClient::Impl::peerAcceptable()
{
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0)
        return false;
    // The handshake value is sent first and could be echoed back: the peer
    // must also run as our own user.
    ucred peer = {};
    length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == peerUserId;
}

void UnixSocketClient::Impl::writeReady()
{
    if (!connecting) {
        flushQueue();
        return;
    }
    connecting = false;
    if (!peerAcceptable()) {
        lose();
        return;
    }
    if (queue.empty())
        writeNotifier->setEnabled(false);
    readNotifier->setEnabled(!paused);
    onConnected();
}

bool UnixSocketClient::Impl::enqueue(const std::byte *data, std::size_t size)
{
    if (queue.size() - queueOffset + size > kMaxQueued) {
        // The peer stopped reading; the stream cannot stay whole. Let both
        // ends see the link go; our own read then reports it.
        ::shutdown(fd, SHUT_RDWR);
        writeFailed();
        return false;
    }
    if (queueOffset > 0 && queueOffset >= queue.size() / 2) {
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(queueOffset));
        queueOffset = 0;
    }
    queue.insert(queue.end(), data, data + size);
    writeNotifier->setEnabled(true);
    if (queue.size() - queueOffset > kSendBound && !paused) {
        paused = true;
        readNotifier->setEnabled(false);
    }
    return true;
}

void UnixSocketClient::Impl::flushQueue()
{
    while (queueOffset < queue.size()) {
        ssize_t n = ::send(fd, queue.data() + queueOffset, queue.size() - queueOffset, MSG_NOSIGNAL);
        if (n >= 0) {
            queueOffset += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR) {
            writeFailed();
            return;
        }
    }
    queue.clear();
    queueOffset = 0;
    writeNotifier->setEnabled(false);
    if (paused) {
        paused = false;
        readNotifier->setEnabled(!connecting);
        onDrained();
    }
}

// The peer can no longer hear us: the link is lost. What it sent before
// is still delivered first, from the loop, never inside the failed send.
void UnixSocketClient::Impl::writeFailed()
{
    if (writeBroken)
        return;
    writeBroken = true;
    queue.clear();
    queueOffset = 0;
    if (writeNotifier)
        writeNotifier->setEnabled(false);
    std::weak_ptr<Impl> weak = weak_from_this();
    QMetaObject::invokeMethod(QCoreApplication::instance(), [weak, current = generation] {
        if (auto self = weak.lock())
            self->drainAndLose(current);
    }, Qt::QueuedConnection);
}

void UnixSocketClient::Impl::lose()
{
    // A closed stream stays readable; reading it again would only say the
    // same, so the loss is reported once and the socket left quiet.
    lost = true;
    queue.clear();
    queueOffset = 0;
    if (readNotifier)
        readNotifier->setEnabled(false);
    if (writeNotifier)
        writeNotifier->setEnabled(false);
    onDisconnected();
}

UnixSocketClient::UnixSocketClient(unsigned peerUserId)
    : impl(std::make_shared<Impl>(peerUserId))
{
}

UnixSocketClient::~UnixSocketClient()
{
    close();
}

void UnixSocketClient::setOnData(std::function<void(const std::vector<std::byte> &)> callback)
{
    impl->onData.set(std::move(callback));
}

void UnixSocketClient::setOnDisconnected(std::function<void()> callback)
{
    impl->onDisconnected.set(std::move(callback));
}

void UnixSocketClient::setOnConnected(std::function<void()> callback)
{
    impl->onConnected.set(std::move(callback));
}

void UnixSocketClient::setOnDrained(std::function<void()> callback)
{
    impl->onDrained.set(std::move(callback));
}

bool UnixSocketClient::congested() const
{
    return impl->paused;
}

bool UnixSocketClient::connect(const std::string &path, std::string *error)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // A path cut short could name another socket: refuse it whole.
    if (path.empty() || path.size() >= sizeof address.sun_path || path.find('\0') != std::string::npos) {
        setError(error, "socket path does not fit a local socket address (" + std::to_string(path.size())
                 + " bytes, at most " + std::to_string(sizeof address.sun_path - 1) + "): " + path);
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setError(error, std::strerror(errno));
        return false;
    }
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    int result = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), length);
    // EINTR: the connection goes on in the background, like EINPROGRESS.
    const bool busy = result != 0 && errno == EAGAIN;
    if (result != 0 && errno != EINPROGRESS && errno != EINTR && !busy) {
        setError(error, std::strerror(errno));
        ::close(fd);
        return false;
    }
    impl->teardown();
    if (busy) {
        impl->pendingFd = fd;
        impl->address = address;
        impl->addressLength = length;
        impl->retryUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        impl->scheduleRetry();
        return true;
    }
    impl->startConnecting(fd);
    return true;
}

bool UnixSocketClient::send(const std::vector<std::byte> &bytes)
{
    // Held for the call: a lost link's callback may drop this client.
    std::shared_ptr<Impl> self = impl;
    if (self->fd < 0 || self->lost || self->writeBroken)
        return false;
    if (bytes.empty())
        return true;
    // Order on the wire: nothing overtakes what is already queued.
    if (self->connecting || self->queueOffset < self->queue.size())
        return self->enqueue(bytes.data(), bytes.size());
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        ssize_t n = ::send(self->fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (n >= 0) {
            offset += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return self->enqueue(bytes.data() + offset, bytes.size() - offset);
        } else if (errno != EINTR) {
            self->writeFailed();
            return false;
        }
    }
    return true;
}

void UnixSocketClient::close()
{
    impl->teardown();
    impl->onData.set(nullptr);
    impl->onConnected.set(nullptr);
    impl->onDisconnected.set(nullptr);
    impl->onDrained.set(nullptr);
}

} // namespace KNetwork
