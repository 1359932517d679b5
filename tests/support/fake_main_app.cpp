#include "tests/support/fake_main_app.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace TestSupport {

FakeMainApp::FakeMainApp(const std::string &socketPath, const std::string &secret)
    : layer(std::make_shared<KNetwork::ProtocolLayer>(false, clock)), path(socketPath)
{
    layer->setSecret(secret);
    layer->setOnSend([this](const std::vector<std::byte> &frame) { return sendRaw(frame), true; });
    layer->setOnData([this](const std::vector<std::byte> &payload) { received.push_back(payload); });
    layer->setOnError([this](const std::string &text) { errors.push_back(text); });
    layer->setOnHandshake([this] { ++handshakes; });

    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    ::unlink(path.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listenFd, 4) != 0) {
        ::close(listenFd);
        listenFd = -1;
        return;
    }
    listenNotifier = std::make_unique<QSocketNotifier>(listenFd, QSocketNotifier::Read);
    QObject::connect(listenNotifier.get(), &QSocketNotifier::activated, [this] { acceptOne(); });
}

FakeMainApp::~FakeMainApp()
{
    closeConnection();
    listenNotifier.reset();
    if (listenFd >= 0) {
        ::close(listenFd);
        ::unlink(path.c_str());
    }
}

void FakeMainApp::acceptOne()
{
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // What is left of the open connection first, its end included.
    if (connFd >= 0 && !closedByPeer)
        readSome();
    if (connFd >= 0 && !closedByPeer) {
        ::close(fd);
        return;
    }
    closeConnection();
    layer->reset();
    connFd = fd;
    closedByPeer = false;
    events.push_back("accept");
    readNotifier = std::make_unique<QSocketNotifier>(connFd, QSocketNotifier::Read);
    QObject::connect(readNotifier.get(), &QSocketNotifier::activated, [this] { readSome(); });
}

void FakeMainApp::readSome()
{
    std::byte buffer[65536];
    ssize_t n = ::read(connFd, buffer, sizeof buffer);
    if (n > 0) {
        std::vector<std::byte> chunk(buffer, buffer + n);
        rawReceived.insert(rawReceived.end(), chunk.begin(), chunk.end());
        layer->processIncoming(chunk);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closedByPeer = true;
        events.push_back("closed");
        readNotifier->setEnabled(false);
    }
}

bool FakeMainApp::sendPayload(const std::vector<std::byte> &payload)
{
    return layer->send(payload.data(), payload.size());
}

void FakeMainApp::sendRaw(const std::vector<std::byte> &bytes)
{
    for (std::size_t offset = 0; connFd >= 0 && offset < bytes.size();) {
        ssize_t n = ::send(connFd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EINTR) {
            pollfd fd = {connFd, POLLOUT, 0};
            ::poll(&fd, 1, 100);
        } else {
            return;
        }
    }
}

void FakeMainApp::closeConnection()
{
    readNotifier.reset();
    if (connFd >= 0)
        ::close(connFd);
    connFd = -1;
}

} // namespace TestSupport
