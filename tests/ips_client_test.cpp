#include "network/ips_client.h"
#include "network/protocol_layer.h"
#include "tests/support/fake_main_app.h"
#include "tests/support/frames.h"
#include "tests/support/loop.h"
#include "tests/support/reliability.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>


using namespace std::chrono_literals;
using KNetwork::IPSClient;
using TestSupport::FakeMainApp;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;

namespace {

Platform::SystemClock systemClock;

// The fake main app stamps with the real clock too.
std::uint32_t wallClock()
{
    return static_cast<std::uint32_t>(systemClock.unixTime());
}

const std::string kSecret = "01234567-89AB-CDEF-0123-456789ABCDEFpro.tessaronk7Qx#v2Lp";

std::vector<std::byte> frame(const std::string &payload, std::uint32_t timestamp)
{
    return TestSupport::frame(TestSupport::text(payload), timestamp);
}

struct Events {
    explicit Events(IPSClient &client)
    {
        client.setOnConnected([this] { ++connected; });
        client.setOnDisconnected([this] { ++disconnected; });
        client.setOnError([this](const std::string &text) { errors.push_back(text); });
        client.setOnMessage([this](const std::vector<std::byte> &payload) {
            messages.emplace_back(reinterpret_cast<const char *>(payload.data()), payload.size());
        });
    }
    int connected = 0;
    int disconnected = 0;
    std::vector<std::string> errors;
    std::vector<std::string> messages;
};

class Link : public testing::Test {
protected:
    void connectWith(const std::string &peerSecret)
    {
        peer.reset();
        peer = std::make_unique<FakeMainApp>(dir / "Tessaron.sock", peerSecret);
        ASSERT_TRUE(peer->listening());
        client->setSecret(kSecret);
        events = std::make_unique<Events>(*client);
        ASSERT_TRUE(client->connect(dir / "Tessaron.sock", nullptr));
    }
    void establish()
    {
        connectWith(kSecret);
        ASSERT_TRUE(runLoopUntil([&] { return events->connected == 1 && peer->handshakeDone(); }, 2s));
    }

    TestSupport::TempDir dir;
    std::shared_ptr<IPSClient> client = std::make_shared<IPSClient>(systemClock, static_cast<unsigned>(::getuid()));
    std::unique_ptr<FakeMainApp> peer;
    std::unique_ptr<Events> events;
};

// Connect fails at once without a listener and raises nothing; with one,
// nothing goes before the peer's handshake, and a peer that closes is a
// disconnect. The messages' bytes and order show in the helper's link tests.
TEST_F(Link, HandshakeThenMessagesBothWaysUntilThePeerCloses)
{
    std::string error;
    events = std::make_unique<Events>(*client);
    EXPECT_FALSE(client->connect(dir / "Tessaron.sock", &error));
    EXPECT_FALSE(error.empty());
    runLoopFor(30ms);
    EXPECT_EQ(events->connected + events->disconnected + static_cast<int>(events->errors.size()), 0);

    connectWith(kSecret);
    EXPECT_FALSE(client->send(TestSupport::text("early")));
    ASSERT_TRUE(runLoopUntil([&] { return events->connected == 1 && peer->handshakeDone(); }, 2s));
    ASSERT_TRUE(client->send(TestSupport::text("to main app")));
    ASSERT_TRUE(peer->sendPayload(TestSupport::text("to helper")));
    ASSERT_TRUE(runLoopUntil([&] { return !events->messages.empty() && !peer->received.empty(); }, 2s));
    EXPECT_EQ(events->messages, std::vector<std::string>{"to helper"});
    EXPECT_EQ(peer->received, std::vector<std::vector<std::byte>>{TestSupport::text("to main app")});

    peer->closeConnection();
    ASSERT_TRUE(runLoopUntil([&] { return events->disconnected == 1; }, 2s));
    EXPECT_TRUE(events->errors.empty());
    EXPECT_EQ(events->connected, 1);
    EXPECT_FALSE(client->send(TestSupport::text("x")));
}

// A main app whose secret differs answers with its own value.
void answerWithWrongValue(FakeMainApp &peer)
{
    ASSERT_TRUE(runLoopUntil([&] { return peer.accepted(); }, 2s));
    peer.sendRaw(TestSupport::frame(TestSupport::be32(KNetwork::handshakeValue(kSecret) + 1), wallClock()));
}

enum class End { StaleFrame, WrongHandshake, OurDisconnect };

// Either error text, or our own disconnect, closes the link: the peer sees
// it go, nothing else is raised, and nothing more can be sent.
TEST_F(Link, AnErrorTextOrOurDisconnectClosesTheLinkWithNothingAfter)
{
    const std::vector<std::string> errors[] = {{"Frame expired or timestamp invalid"},
        {"Handshake failed: secret mismatch"}, {}};
    for (End end : {End::StaleFrame, End::WrongHandshake, End::OurDisconnect}) {
        SCOPED_TRACE(static_cast<int>(end));
        client = std::make_shared<IPSClient>(systemClock, static_cast<unsigned>(::getuid()));
        if (end == End::WrongHandshake) {
            connectWith("another secret entirely");
            answerWithWrongValue(*peer);
        } else {
            establish();
            if (end == End::StaleFrame) {
                peer->sendRaw(frame("old", wallClock() - 31));
            } else {
                client->disconnect();
                peer->sendPayload(TestSupport::text("after"));
            }
        }
        ASSERT_TRUE(runLoopUntil([&] { return peer->peerClosed(); }, 2s));
        runLoopFor(30ms);
        EXPECT_EQ(events->errors, errors[static_cast<int>(end)]);
        EXPECT_EQ(events->connected, end == End::WrongHandshake ? 0 : 1);
        EXPECT_EQ(events->disconnected, 0);
        EXPECT_TRUE(events->messages.empty());
        EXPECT_FALSE(client->send(TestSupport::text("x")));
    }
    TestSupport::recordTrial("a frame 31 seconds old", "reported the stale frame once, closed the link, raised nothing after");
    TestSupport::recordTrial("a handshake answer of another secret",
        "reported the mismatch once, never connected, closed the link");
}

enum class DropIn { Message, Error, Connected, Disconnected };

// Each notification may drop the client that raised it; nothing may touch
// it afterwards (the sanitizer build catches a use after free).
TEST_F(Link, TheClientMayBeDestroyedInsideEachOfItsCallbacks)
{
    for (DropIn where : {DropIn::Message, DropIn::Error, DropIn::Connected, DropIn::Disconnected}) {
        SCOPED_TRACE(static_cast<int>(where));
        client = std::make_shared<IPSClient>(systemClock, static_cast<unsigned>(::getuid()));
        const auto drop = [this] { client.reset(); };
        if (where == DropIn::Connected) {
            connectWith(kSecret);
            client->setOnConnected(drop);
        } else if (where == DropIn::Error) {
            connectWith("wrong");
            client->setOnError([drop](const std::string &) { drop(); });
            answerWithWrongValue(*peer);
        } else {
            establish();
            client->setOnMessage([drop](const std::vector<std::byte> &) { drop(); });
            client->setOnDisconnected(drop);
            auto now = wallClock();
            auto twice = frame("a", now), second = frame("b", now);
            twice.insert(twice.end(), second.begin(), second.end());
            if (where == DropIn::Message)
                peer->sendRaw(twice);
            else
                peer->closeConnection();
        }
        ASSERT_TRUE(runLoopUntil([&] { return !client; }, 2s));
        runLoopFor(30ms);
    }
}

} // namespace
