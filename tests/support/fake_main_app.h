#pragma once

#include "mainapp/listener.h"
#include "network/protocol_layer.h"

#include <QSocketNotifier>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

// The main app's side of the link on the test's own event loop: the
// stand-in's listener, and the frame layer as the answering side. It
// answers the handshake and records what arrives; a new connection
// replaces the last, as the helper keeps one link at a time.
class FakeMainApp {
public:
    FakeMainApp(const std::string &socketPath, const std::string &secret);
    ~FakeMainApp() { closeConnection(); }

    bool accepted() const { return connFd >= 0; }
    bool handshakeDone() const { return handshakes > 0; }
    bool peerClosed() const { return closedByPeer; }

    // Frames the payload with the current clock through the layer.
    bool sendPayload(const std::vector<std::byte> &payload) { return layer->send(payload.data(), payload.size()); }
    // Bytes exactly as given, for malformed or hand-built frames.
    void sendRaw(const std::vector<std::byte> &bytes);
    void closeConnection();

    std::vector<std::vector<std::byte>> received;
    int handshakes = 0;
    // "accept" and "closed" (by the peer), in the order they happened.
    std::vector<std::string> events;

private:
    void acceptOne();
    void readSome();

    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
    StandIn::Listener listener;
    int connFd = -1;
    bool closedByPeer = false;
    std::unique_ptr<QSocketNotifier> listenNotifier, readNotifier;
};

} // namespace TestSupport
