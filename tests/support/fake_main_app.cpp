#include "tests/support/fake_main_app.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

FakeMainApp::FakeMainApp(const std::string &socketPath, const std::string &secret)
    : layer(std::make_shared<KNetwork::ProtocolLayer>(false, clock))
{
    layer->setSecret(secret);
    layer->setOnSend([this](const std::vector<std::byte> &frame) { return sendRaw(frame), true; });
    layer->setOnData([this](const std::vector<std::byte> &payload) { received.push_back(payload); });
    layer->setOnHandshake([this] { ++handshakes; });
    // Not listening would make every "never connected" check pass.
    std::string error;
    if (!listener.listen(socketPath, &error))
        throw std::runtime_error(error);
    listenNotifier = std::make_unique<QSocketNotifier>(listener.fd(), QSocketNotifier::Read);
    QObject::connect(listenNotifier.get(), &QSocketNotifier::activated, [this] { acceptOne(); });
}

void FakeMainApp::acceptOne()
{
    const int fd = listener.accept(StandIn::Clock::now());
    if (fd < 0)
        return;
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
    const ssize_t n = ::read(connFd, buffer, sizeof buffer);
    if (n > 0) {
        layer->processIncoming(std::vector<std::byte>(buffer, buffer + n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        closedByPeer = true;
        events.push_back("closed");
        readNotifier->setEnabled(false);
    }
}

void FakeMainApp::sendRaw(const std::vector<std::byte> &bytes)
{
    for (std::size_t offset = 0; connFd >= 0 && offset < bytes.size();) {
        const ssize_t n = ::send(connFd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
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
