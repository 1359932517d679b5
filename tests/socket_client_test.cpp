#include "network/unix_socket_client.h"
#include "tests/support/frames.h"
#include "tests/support/listener.h"
#include "tests/support/loop.h"
#include "tests/support/reliability.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using KNetwork::UnixSocketClient;
using TestSupport::runLoopFor;
using TestSupport::runLoopUntil;
using TestSupport::Listener;
using TestSupport::text;

namespace {

class SocketClient : public testing::Test {
protected:
    SocketClient()
    {
        client->setOnConnected([this] { ++connected; });
        client->setOnDisconnected([this] { ++disconnected; });
        client->setOnData([this](const std::vector<std::byte> &chunk) {
            chunks.push_back(chunk.size());
            data.insert(data.end(), chunk.begin(), chunk.end());
        });
    }
    // Connected, accepted, and the connection reported by the loop, never inside connect().
    bool link(Listener &to, int nth = 1)
    {
        return client->connect(to.path, nullptr) && connected == nth - 1 && to.accept() >= 0
            && runLoopUntil([&] { return connected == nth; }, 2s);
    }

    Harness::TempDir dir;
    std::shared_ptr<UnixSocketClient> client = std::make_shared<UnixSocketClient>(static_cast<unsigned>(::getuid()));
    Listener listener{dir / "s.sock"};
    int connected = 0;
    int disconnected = 0;
    std::vector<std::size_t> chunks;
    std::vector<std::byte> data;
};

// A failed connect says why, raises nothing and keeps the link there is; a
// path cut short could reach another socket, so it is refused whole.
TEST_F(SocketClient, ConnectRefusesWhatItCannotReachWholeAndKeepsTheLinkItHas)
{
    const std::string base = dir.path() + "/";
    Listener longest(base + std::string(107 - base.size(), 'a'));
    std::string missing, empty, tooLong;
    EXPECT_FALSE(client->connect(dir / "missing.sock", &missing));
    EXPECT_EQ(missing, std::strerror(ENOENT));
    EXPECT_FALSE(client->connect("", &empty));
    EXPECT_FALSE(empty.empty());
    EXPECT_FALSE(client->connect(longest.path + "b", &tooLong));
    EXPECT_NE(tooLong.find("does not fit"), std::string::npos) << tooLong;
    EXPECT_NE(tooLong.find("108 bytes"), std::string::npos) << tooLong;
    EXPECT_FALSE(client->send(text("x")));
    runLoopFor(30ms);
    EXPECT_EQ(connected + disconnected, 0);

    ASSERT_TRUE(link(listener));
    EXPECT_FALSE(client->connect(dir / "none.sock", nullptr));
    // What the peer holds now, without waiting: -1 when nothing and no end.
    const auto waiting = [](int fd) {
        char buffer[16];
        return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    };
    ASSERT_TRUE(client->send(text("still")));
    EXPECT_EQ(waiting(listener.conn), 5);
    // The longest path that fits is used whole, and replaces the first link.
    ASSERT_TRUE(link(longest, 2));
    EXPECT_EQ(waiting(listener.conn), 0);
    ASSERT_TRUE(client->send(text("new")));
    EXPECT_EQ(waiting(longest.conn), 3);
    // close() ends the link and raises nothing.
    client->close();
    EXPECT_FALSE(client->send(text("x")));
    EXPECT_EQ(waiting(longest.conn), 0);
    runLoopFor(30ms);
    EXPECT_EQ(disconnected, 0);
}

// Reads come in order in chunks of at most kReadChunk; what the peer sent
// before it went is delivered before the loss, which is reported once: by
// the read side when the peer closes, though our write failed first, and
// after the failed write when the peer only stops reading. Never inside the
// failed send.
TEST_F(SocketClient, WhatThePeerSentArrivesInOrderBeforeTheLossIsReportedOnce)
{
    std::vector<std::byte> sent(20000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::byte>(i * 7 + i / 256);
    const std::vector<std::byte> words = text("last words");
    sent.insert(sent.end(), words.begin(), words.end());
    for (int closes : {1, 0}) {
        Listener peer(dir / (closes ? "c.sock" : "r.sock"));
        ASSERT_TRUE(link(peer, 2 - closes));
        data.clear();
        chunks.clear();
        ASSERT_EQ(::write(peer.conn, sent.data(), sent.size()), ssize_t(sent.size()));
        ASSERT_EQ(closes ? ::close(std::exchange(peer.conn, -1)) : ::shutdown(peer.conn, SHUT_RD), 0);
        EXPECT_FALSE(client->send(text("hello?")) && client->send(text("anyone?")));
        EXPECT_EQ(disconnected, 1 - closes);
        ASSERT_TRUE(runLoopUntil([&] { return disconnected == 2 - closes; }, 2s));
        EXPECT_EQ(data, sent);
        EXPECT_GE(chunks.size(), 3u);
        for (std::size_t size : chunks)
            EXPECT_LE(size, UnixSocketClient::kReadChunk);
        runLoopFor(30ms);
        EXPECT_FALSE(client->send(text("late")));
        EXPECT_EQ(disconnected, 2 - closes);
        EXPECT_EQ(connected, 2 - closes);
    }
    // A loss seen by reading alone: a later send fails and reports nothing more.
    Listener quiet(dir / "q.sock");
    ASSERT_TRUE(link(quiet, 3));
    ::close(std::exchange(quiet.conn, -1));
    ASSERT_TRUE(runLoopUntil([&] { return disconnected == 3; }, 2s));
    EXPECT_FALSE(client->send(text("late")));
    runLoopFor(30ms);
    EXPECT_EQ(disconnected, 3);
    TestSupport::recordTrial("a peer that shuts down its read side", "delivered what it had sent, then reported the link lost");
}

// What the socket cannot take at once is queued whole, so the stream stays
// intact; past the queue's bound the link is lost instead of cut mid-frame.
TEST_F(SocketClient, SendsQueueWholeBuffersInOrderAndPassingTheBoundIsALostLink)
{
    ASSERT_TRUE(link(listener));
    EXPECT_TRUE(client->send({}));
    // Far more than the socket buffers hold while the peer does not read.
    std::vector<std::byte> expected;
    for (int frame = 0; frame < 400; ++frame) {
        std::vector<std::byte> bytes(4099, static_cast<std::byte>(frame));
        ASSERT_TRUE(client->send(bytes)) << frame;
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    // Room in the socket again, the queue still full: the next send waits its turn.
    std::byte room[65536];
    ASSERT_EQ(::recv(listener.conn, room, sizeof room, 0), ssize_t(sizeof room));
    ASSERT_TRUE(client->send(text("last")));
    expected.erase(expected.begin(), expected.begin() + sizeof room);
    expected.insert(expected.end(), {std::byte{'l'}, std::byte{'a'}, std::byte{'s'}, std::byte{'t'}});
    std::vector<std::byte> got;
    ASSERT_TRUE(runLoopUntil([&] {
        std::byte buffer[65536];
        ssize_t n = ::recv(listener.conn, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        return got.size() >= expected.size();
    }, 5s));
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(disconnected, 0);

    std::vector<std::byte> block(1 << 20, std::byte{0x5a});
    bool refused = false;
    for (int i = 0; i < 40 && !refused; ++i)
        refused = !client->send(block);
    EXPECT_TRUE(refused);
    ASSERT_TRUE(runLoopUntil([&] { return disconnected == 1; }, 2s));
    std::byte buffer[65536];
    ssize_t n;
    std::size_t total = 0;
    while ((n = ::read(listener.conn, buffer, sizeof buffer)) > 0)
        total += static_cast<std::size_t>(n);
    EXPECT_EQ(n, 0);
    EXPECT_LT(total, 40u << 20);
    TestSupport::recordTrial("a peer that stops reading while 40 MiB are sent to it",
        "kept the stream whole up to its bound, then closed the link; memory stayed bounded");
}

// A listener whose backlog is full refuses with EAGAIN for now, not for
// good: tried again for a second, then a lost link, never a failed call.
TEST_F(SocketClient, AFullBacklogIsTriedAgainForASecondBeforeTheLinkCountsAsLost)
{
    ASSERT_EQ(::listen(listener.fd, 0), 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, listener.path.c_str(), listener.path.size());
    std::vector<int> fillers;
    const auto fill = [&] {
        for (int s; (s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) >= 0;) {
            if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                const int error = errno;
                ::close(s);
                return error;
            }
            fillers.push_back(s);
        }
        return 0;
    };
    ASSERT_EQ(fill(), EAGAIN);
    ASSERT_TRUE(client->connect(listener.path, nullptr));
    runLoopFor(200ms);
    EXPECT_EQ(connected + disconnected, 0);
    // The listener takes its waiting connections: ours gets through.
    for (std::size_t i = 0; i < fillers.size(); ++i)
        ::close(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(runLoopUntil([&] { return connected == 1; }, 2s));

    ASSERT_EQ(fill(), EAGAIN);
    ASSERT_TRUE(client->connect(listener.path, nullptr));
    EXPECT_FALSE(runLoopUntil([&] { return disconnected > 0; }, 800ms));
    EXPECT_TRUE(runLoopUntil([&] { return disconnected == 1; }, 2s));
    EXPECT_EQ(connected, 1);
    for (int s : fillers)
        ::close(s);
    TestSupport::recordTrial("a listener whose backlog is full",
        "tried again for a second: connected once there was room, else reported the link lost");
}

// Under ASan any touch of the client after its callback dropped it faults.
TEST_F(SocketClient, ADataOrDisconnectedCallbackMayDestroyTheClient)
{
    for (bool onData : {true, false}) {
        auto owner = std::make_shared<UnixSocketClient>(static_cast<unsigned>(::getuid()));
        Listener peer(dir / (onData ? "d.sock" : "e.sock"));
        bool raised = false;
        const auto drop = [&] {
            raised = true;
            owner.reset();
        };
        owner->setOnData([&, drop](const std::vector<std::byte> &) { drop(); });
        owner->setOnDisconnected(drop);
        ASSERT_TRUE(owner->connect(peer.path, nullptr));
        ASSERT_GE(peer.accept(), 0);
        if (onData)
            ASSERT_EQ(::write(peer.conn, "xyz", 3), 3);
        else
            ::close(std::exchange(peer.conn, -1));
        ASSERT_TRUE(runLoopUntil([&] { return raised; }, 2s)) << onData;
        runLoopFor(30ms);
        EXPECT_FALSE(owner);
    }
}

} // namespace
