#pragma once

#include "network/protocol_layer.h"

#include <QSocketNotifier>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace TestSupport {

// The main app's side of the link, built from the frame layer as the
// answering side, on the test's own event loop: listens at a path, accepts
// one connection at a time, answers the handshake and records what arrives.
// A new connection replaces one the peer has closed; while one is open, a
// second is closed at once.
class FakeMainApp {
public:
    FakeMainApp(const std::string &socketPath, const std::string &secret);
    ~FakeMainApp();
    FakeMainApp(const FakeMainApp &) = delete;
    FakeMainApp &operator=(const FakeMainApp &) = delete;

    bool listening() const { return listenFd >= 0; }
    bool accepted() const { return connFd >= 0; }
    bool handshakeDone() const { return handshakes > 0; }
    bool peerClosed() const { return closedByPeer; }

    // Frames the payload with the current clock through the layer.
    bool sendPayload(const std::vector<std::byte> &payload);
    // Bytes exactly as given, for malformed or hand-built frames.
    void sendRaw(const std::vector<std::byte> &bytes);
    void closeConnection();

    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
    std::vector<std::vector<std::byte>> received;
    std::vector<std::string> errors;
    std::vector<std::byte> rawReceived;
    int handshakes = 0;
    // "accept" and "closed" (by the peer), in the order they happened.
    std::vector<std::string> events;

private:
    void acceptOne();
    void readSome();

    std::string path;
    int listenFd = -1;
    int connFd = -1;
    bool closedByPeer = false;
    std::unique_ptr<QSocketNotifier> listenNotifier;
    std::unique_ptr<QSocketNotifier> readNotifier;
};

} // namespace TestSupport
