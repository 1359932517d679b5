// A broken or hostile peer, played by hand on a raw socket: what it writes
// before it is accepted, after an error, behind a corrupt frame, and a peer
// that stops reading.
#include "network/ips_client.h"
#include "network/unix_socket_client.h"
#include "service/service.h"
#include "tests/support/frames.h"
#include "tests/support/listener.h"
#include "tests/support/loop.h"
#include "tests/support/reliability.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <thread>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace Harness;
using namespace TestSupport;

namespace {

const std::string kSecret = "secret of the link";
const std::string kExpired = "Frame expired or timestamp invalid";

std::uint32_t now()
{
    return static_cast<std::uint32_t>(::time(nullptr));
}

struct Seen {
    int connected = 0, disconnected = 0;
    std::vector<std::string> errors, messages;
};

class LinkFault : public testing::Test {
protected:
    // A new client, connected to the raw peer.
    void open(unsigned peerUserId = static_cast<unsigned>(::getuid()))
    {
        client = std::make_shared<KNetwork::IPSClient>(clock, peerUserId);
        client->setSecret(kSecret);
        client->setOnConnected([this] { ++seen.connected; });
        client->setOnDisconnected([this] { ++seen.disconnected; });
        client->setOnError([this](const std::string &text) { seen.errors.push_back(text); });
        client->setOnMessage([this](const Bytes &m) {
            seen.messages.emplace_back(reinterpret_cast<const char *>(m.data()), m.size());
        });
        seen = {};
        ASSERT_TRUE(client->connect(peer.path, nullptr));
        ASSERT_GE(peer.accept(), 0);
    }
    // The peer reads until the client's end of the socket closes.
    bool peerSeesTheEnd()
    {
        return runLoopUntil([&] {
            std::byte buffer[256];
            ssize_t n;
            while ((n = ::recv(peer.conn, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            }
            return n == 0;
        }, 2s);
    }

    TempDir dir;
    Listener peer{dir / "Tessaron.sock"};
    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::IPSClient> client;
    Seen seen;
};

// An error text, or our own disconnect, closes the link: the peer sees it
// go, nothing of the chunk after the error is handled, nothing else is
// raised, and nothing more can be sent.
TEST_F(LinkFault, AnErrorTextOrOurDisconnectClosesTheLinkWithNothingAfter)
{
    const std::uint32_t t = now();
    const Bytes hello = handshake(kSecret, t), move = frame(text("move"), t), stale = frame(text("old"), t - 31);
    const struct {
        bool linkFirst;
        Bytes chunk; // empty: we disconnect, then the peer writes a move
        std::vector<std::string> errors;
        const char *trial, *outcome;
    } cases[] = {{false, join({stale, hello, move}), {kExpired}, "one chunk: a stale frame, a valid handshake answer, data",
                     "reported the stale frame and nothing after it; no link, no move"},
        {false, join({handshake("another secret", t), move}), {"Handshake failed: secret mismatch"},
            "a handshake answer of another secret", "reported the mismatch once, never connected, closed the link"},
        {true, join({stale, move}), {kExpired}, "a frame 31 seconds old",
            "reported the stale frame once, closed the link, raised nothing after"},
        {true, {}, {}, nullptr, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.errors.size() + 2 * c.linkFirst);
        open();
        if (c.linkFirst) {
            ASSERT_TRUE(peer.write(hello));
            ASSERT_TRUE(runLoopUntil([&] { return seen.connected == 1; }, 2s));
        }
        if (c.chunk.empty())
            client->disconnect();
        peer.write(c.chunk.empty() ? move : c.chunk);
        EXPECT_TRUE(peerSeesTheEnd());
        runLoopFor(30ms);
        EXPECT_EQ(seen.errors, c.errors);
        EXPECT_EQ(seen.connected, c.linkFirst ? 1 : 0);
        EXPECT_TRUE(seen.messages.empty());
        EXPECT_EQ(seen.disconnected, 0) << "an error is the last word";
        EXPECT_FALSE(client->send(text("x")));
        if (c.trial)
            recordTrial(c.trial, c.outcome);
    }
}

// Nothing goes before the peer's handshake; then messages go both ways,
// corrupt frames are dropped and the valid ones behind them delivered at
// once, and a peer that closes is a disconnect.
TEST_F(LinkFault, FramesBehindACorruptOneArriveThoughThePeerThenFallsSilent)
{
    open();
    EXPECT_FALSE(client->send(text("early")));
    ASSERT_TRUE(peer.write(handshake(kSecret, now())));
    ASSERT_TRUE(runLoopUntil([&] { return seen.connected == 1; }, 2s));
    ASSERT_TRUE(client->send(text("up")));
    ASSERT_TRUE(peer.write(join({frame(text("bad"), now(), 1), frame(text("one"), now()),
        frame(text("bad"), now(), 2), frame(text("two"), now())})));
    ASSERT_TRUE(runLoopUntil([&] { return seen.messages.size() == 2; }, 2s));
    EXPECT_EQ(seen.messages, (std::vector<std::string>{"one", "two"}));
    recordTrial("corrupt frames before valid ones in one write, then silence",
        "dropped the corrupt frames, delivered the valid ones at once");
    // Our handshake, then the message.
    Bytes got(30);
    ASSERT_EQ(::recv(peer.conn, got.data(), got.size(), MSG_WAITALL), 30);
    EXPECT_EQ(slice(got, 16, 20), be32(2));
    EXPECT_EQ(slice(got, 24, 30), join({text("up"), be32(0x75 + 0x70)}));
    ::close(std::exchange(peer.conn, -1));
    ASSERT_TRUE(runLoopUntil([&] { return seen.disconnected == 1; }, 2s));
    EXPECT_EQ(seen.connected, 1);
    EXPECT_TRUE(seen.errors.empty());
    EXPECT_FALSE(client->send(text("x")));
}

// Each notification may drop the client that raised it; nothing may touch
// it afterwards (the sanitizer build catches a use after free).
TEST_F(LinkFault, TheClientMayBeDestroyedInsideEachOfItsCallbacks)
{
    for (char in : std::string("CEMD")) {
        SCOPED_TRACE(in);
        open();
        const auto drop = [this] { client.reset(); };
        if (in == 'C')
            client->setOnConnected(drop);
        else if (in == 'E')
            client->setOnError([drop](const std::string &) { drop(); });
        else if (in == 'M')
            client->setOnMessage([drop](const Bytes &) { drop(); });
        else
            client->setOnDisconnected(drop);
        ASSERT_TRUE(peer.write(in == 'E' ? handshake("wrong", now())
                                         : join({handshake(kSecret, now()), frame(text("a"), now()), frame(text("b"), now())})));
        if (in == 'D')
            ::close(std::exchange(peer.conn, -1));
        ASSERT_TRUE(runLoopUntil([&] { return !client; }, 2s));
        runLoopFor(30ms);
    }
}

// Not one byte of a peer of another user is read: it might echo our
// handshake. Without root the client is simply told to expect another user.
TEST_F(LinkFault, APeerOfAnotherUserThatWritesFirstIsNeverHeard)
{
    open(static_cast<unsigned>(::getuid()) + 1);
    ASSERT_TRUE(peer.write(join({handshake(kSecret, now()), frame(text("move"), now())})));
    ASSERT_TRUE(runLoopUntil([&] { return seen.disconnected == 1; }, 2s));
    runLoopFor(100ms);
    EXPECT_EQ(seen.connected, 0);
    EXPECT_TRUE(seen.messages.empty());
    EXPECT_TRUE(seen.errors.empty());
    recordTrial("a peer of another user that writes before it is accepted",
        "read none of its bytes, reported the link lost");
}

struct Moves : Platform::Pointer {
    bool isAccessibilityTrusted() override { return true; }
    bool canCreateEventTap() override { return true; }
    Platform::Desktop desktop() override { return Platform::Desktop::X11; }
    void postPointerMove(double x, double y) override { moves.emplace_back(x, y); }
    std::vector<std::pair<double, double>> moves;
};

// One Features message of a million codes owes 18 MB of answers: they go
// out as the peer reads, and until it does its next message waits.
TEST_F(LinkFault, AnswersToOneHugeFeaturesMessageFlowAsThePeerReads)
{
    constexpr std::size_t kCodes = 1'000'000, kAnswer = 18;
    open();
    Moves pointer;
    std::shared_ptr<Helper::Service> service;
    Bytes got;
    std::size_t readWhenMoved = 0;
    client->setOnConnected([&] {
        service = std::make_shared<Helper::Service>(pointer);
        service->setSender([&](const Bytes &m) { client->send(m); });
        service->setCongested([&] { return client->congested(); });
        client->setOnMessage([&](const Bytes &m) {
            service->handleMessage(m);
            readWhenMoved = pointer.moves.empty() ? 0 : got.size();
        });
    });
    client->setOnDrained([&] { service->sendingResumed(); });
    ASSERT_TRUE(peer.write(handshake(kSecret, now())));
    ASSERT_TRUE(runLoopUntil([&] { return service != nullptr; }, 2s));
    ASSERT_EQ(::recv(peer.conn, Bytes(16).data(), 16, 0), 16) << "the client's handshake";
    // One write, from the peer's own thread: the client reads only in this loop.
    std::thread writer([&] {
        peer.write(join({frame(join({bytes({2}), be32(kCodes), Bytes(kCodes, std::byte{3})}), now()),
            frame(join({bytes({3}), be32(16), be32(0x40590000), be32(0), be32(0x40691000), be32(0)}), now())}));
    });
    EXPECT_TRUE(runLoopUntil([&] { return client->congested(); }, 5s));
    runLoopFor(200ms);
    writer.join();
    EXPECT_TRUE(client->congested());

    ASSERT_TRUE(runLoopUntil([&] {
        std::byte buffer[65536];
        ssize_t n;
        while ((n = ::recv(peer.conn, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            got.insert(got.end(), buffer, buffer + n);
        return got.size() >= kCodes * kAnswer && !pointer.moves.empty();
    }, 60s)) << got.size() << " bytes of answers";
    ASSERT_EQ(got.size(), kCodes * kAnswer);
    // Moved only once nearly all answers were sent: what the socket buffers
    // hold at most was still unread.
    EXPECT_GT(readWhenMoved, kCodes * kAnswer - 2 * KNetwork::UnixSocketClient::kSendBound - 4'194'304);
    const Bytes answer = bytes({0, 0, 0, 6, 2, 0, 0, 0, 1, 3, 0, 0, 0, 6});
    std::size_t wrong = 0;
    for (std::size_t at = 0; at < got.size(); at += kAnswer)
        wrong += !std::equal(answer.begin(), answer.begin() + 4, got.begin() + at)
            || !std::equal(answer.begin() + 4, answer.end(), got.begin() + at + 8);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(pointer.moves, (std::vector<std::pair<double, double>>{{100.0, 200.5}}));
    EXPECT_EQ(seen.disconnected, 0);
    EXPECT_TRUE(seen.errors.empty());
    recordTrial("one Features message with 1,000,000 codes, the peer reading late",
        "sent all 1,000,000 answers as the peer read, held its next message until then, kept the link");
}

} // namespace
