#include "network/ips_client.h"

#include "core/callback.h"
#include "network/protocol_layer.h"
#include "network/unix_socket_client.h"

namespace KNetwork {

struct IPSClient::Impl : std::enable_shared_from_this<Impl> {
    Impl(Platform::Clock &clock, unsigned peerUserId)
        : clock(clock), socket(std::make_shared<UnixSocketClient>(peerUserId))
    {
    }

    Platform::Clock &clock;
    KCore::Callback<void(const std::vector<std::byte> &)> onMessage;
    KCore::Callback<void()> onDisconnected;
    KCore::Callback<void(const std::string &)> onError;
    KCore::Callback<void()> onConnected;
    KCore::Callback<void()> onDrained;
    std::shared_ptr<UnixSocketClient> socket;
    std::string secret;
    std::shared_ptr<ProtocolLayer> protocol = std::make_shared<ProtocolLayer>(true, clock);

    void wire();
    void examine(const std::vector<std::byte> &chunk);
    void disconnect();
};

namespace {

// Every internal callback holds the client's state for its own duration:
// the user's callback inside it may drop the client.
template <typename F>
auto guarded(std::weak_ptr<IPSClient::Impl> weak, F body)
{
    return [weak, body](auto &&...args) {
        if (auto self = weak.lock())
            return body(*self, std::forward<decltype(args)>(args)...);
        using Result = decltype(body(std::declval<IPSClient::Impl &>(), std::forward<decltype(args)>(args)...));
        return Result();
    };
}

} // namespace

void IPSClient::Impl::wire()
{
    std::weak_ptr<Impl> weak = weak_from_this();
    socket->setOnData(guarded(weak, [](Impl &self, const std::vector<std::byte> &chunk) {
        self.examine(chunk);
    }));
    protocol->setOnData(guarded(weak, [](Impl &self, const std::vector<std::byte> &payload) {
        self.onMessage(payload);
        // Its answers filled the link: the peer's next messages wait.
        if (self.socket->congested())
            self.protocol->setPaused(true);
    }));
    protocol->setOnSend(guarded(weak, [](Impl &self, const std::vector<std::byte> &frame) {
        auto socketNow = self.socket;
        return socketNow->send(frame);
    }));
    socket->setOnConnected(guarded(weak, [](Impl &self) {
        auto protocolNow = self.protocol;
        protocolNow->startHandshake();
    }));
    socket->setOnDisconnected(guarded(weak, [](Impl &self) {
        self.onDisconnected();
        self.protocol->reset();
    }));
    protocol->setOnError(guarded(weak, [](Impl &self, const std::string &text) {
        self.onError(text);
        self.disconnect();
    }));
    protocol->setOnHandshake(guarded(weak, [](Impl &self) {
        self.onConnected();
    }));
    socket->setOnDrained(guarded(weak, [](Impl &self) {
        // What is still owed goes first, then the messages that waited.
        self.onDrained();
        if (self.socket->congested())
            return;
        self.protocol->setPaused(false);
        self.examine({});
    }));
}

void IPSClient::Impl::examine(const std::vector<std::byte> &chunk)
{
    auto protocolNow = protocol;
    // The layer stops at a corrupt frame and keeps what follows; look at
    // that at once, for the peer may send nothing more. Each pass drops at
    // least the frame it stopped at.
    static const std::vector<std::byte> nothing;
    bool whole = protocolNow->processIncoming(chunk);
    while (!whole && protocol == protocolNow)
        whole = protocolNow->processIncoming(nothing);
}

void IPSClient::Impl::disconnect()
{
    // The running layer stops at once, even inside a chunk it is reading:
    // after an error nothing more of that chunk may reach the owner. A new
    // layer without callbacks takes its place: every send fails.
    protocol->reset();
    protocol = std::make_shared<ProtocolLayer>(true, clock);
    protocol->setSecret(secret);
    socket->close();
}

IPSClient::IPSClient(Platform::Clock &clock, unsigned peerUserId)
    : impl(std::make_shared<Impl>(clock, peerUserId))
{
    impl->wire();
}

IPSClient::~IPSClient()
{
    impl->disconnect();
}

void IPSClient::setSecret(const std::string &secret)
{
    impl->secret = secret;
    impl->protocol->setSecret(secret);
}

void IPSClient::setOnMessage(std::function<void(const std::vector<std::byte> &)> callback)
{
    impl->onMessage.set(std::move(callback));
}

void IPSClient::setOnConnected(std::function<void()> callback)
{
    impl->onConnected.set(std::move(callback));
}

void IPSClient::setOnDisconnected(std::function<void()> callback)
{
    impl->onDisconnected.set(std::move(callback));
}

void IPSClient::setOnError(std::function<void(const std::string &)> callback)
{
    impl->onError.set(std::move(callback));
}

void IPSClient::setOnDrained(std::function<void()> callback)
{
    impl->onDrained.set(std::move(callback));
}

bool IPSClient::congested() const
{
    return impl->socket->congested();
}

bool IPSClient::connect(const std::string &path, std::string *error)
{
    return impl->socket->connect(path, error);
}

bool IPSClient::send(const std::vector<std::byte> &payload)
{
    std::shared_ptr<Impl> self = impl;
    auto protocolNow = self->protocol;
    return protocolNow->send(payload.data(), payload.size());
}

void IPSClient::disconnect()
{
    impl->disconnect();
}

} // namespace KNetwork
