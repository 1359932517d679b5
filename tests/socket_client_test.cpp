#include "network/unix_socket_client.h"
#include "tests/support/loop.h"
#include "tests/support/temp_dir.h"

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

namespace {

std::vector<std::byte> bytesOf(const std::string &text)
{
    std::vector<std::byte> out(text.size());
    std::memcpy(out.data(), text.data(), text.size());
    return out;
}

// A plain listening socket; the test accepts and reads by hand.
class Listener {
public:
    explicit Listener(const std::string &where) : path(where)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    ~Listener()
    {
        if (conn >= 0)
            ::close(conn);
        ::close(fd);
    }
    int accept()
    {
        conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return conn;
    }
    std::string path;
    int fd = -1;
    int conn = -1;
};

struct Recorder {
    explicit Recorder(UnixSocketClient &client)
    {
        client.setOnConnected([this] { ++connected; });
        client.setOnDisconnected([this] { ++disconnected; });
        client.setOnData([this](const std::vector<std::byte> &chunk) {
            chunks.push_back(chunk.size());
            data.insert(data.end(), chunk.begin(), chunk.end());
        });
    }
    int connected = 0;
    int disconnected = 0;
    std::vector<std::size_t> chunks;
    std::vector<std::byte> data;
};

class SocketClient : public testing::Test {
protected:
    // Connected, accepted, and the connection reported by the loop, never inside connect().
    bool link()
    {
        return client->connect(listener.path, nullptr) && r.connected == 0 && listener.accept() >= 0
            && waitConnected(1);
    }
    bool waitConnected(int n)
    {
        return runLoopUntil([&] { return r.connected == n; }, 2s);
    }

    TestSupport::TempDir dir;
    std::shared_ptr<UnixSocketClient> client = std::make_shared<UnixSocketClient>(static_cast<unsigned>(::getuid()));
    Listener listener{dir / "s.sock"};
    Recorder r{*client};
};

TEST_F(SocketClient, NoSocketFileOrNoPathFailsAtOnceWithTheReasonAndNoNotification)
{
    std::string missing, empty;
    EXPECT_FALSE(client->connect(dir / "missing.sock", &missing));
    EXPECT_EQ(missing, std::strerror(ENOENT));
    EXPECT_FALSE(client->connect("", &empty));
    EXPECT_FALSE(empty.empty());
    runLoopFor(30ms);
    EXPECT_EQ(r.connected + r.disconnected, 0);
}

TEST_F(SocketClient, APathThatDoesNotFitIsRefusedNotCut)
{
    // A socket whose path is the first 107 bytes of the long one: a cut path
    // would reach it.
    std::string base = dir.path() + "/";
    std::string fits = base + std::string(107 - base.size(), 'a');
    ASSERT_EQ(fits.size(), 107u);
    Listener longest(fits);
    std::string error;
    EXPECT_FALSE(client->connect(fits + "b", &error));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
    EXPECT_NE(error.find("108 bytes"), std::string::npos) << error;
    runLoopFor(30ms);
    EXPECT_EQ(r.connected, 0);

    // The longest path that fits is used whole.
    EXPECT_TRUE(client->connect(fits, &error));
    EXPECT_TRUE(waitConnected(1));
}

TEST_F(SocketClient, TwentyThousandBytesArriveInOrderInChunksOfAtMost8192)
{
    ASSERT_TRUE(link());
    std::vector<std::byte> sent(20000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<std::byte>(i * 7 + i / 256);
    ASSERT_EQ(::write(listener.conn, sent.data(), sent.size()), 20000);
    ASSERT_TRUE(runLoopUntil([&] { return r.data.size() == 20000; }, 2s));
    EXPECT_EQ(r.data, sent);
    EXPECT_GE(r.chunks.size(), 3u);
    for (std::size_t size : r.chunks)
        EXPECT_LE(size, UnixSocketClient::kReadChunk);
}

TEST_F(SocketClient, EmptySendSucceedsAndSendBeforeConnectOrAfterCloseFails)
{
    EXPECT_FALSE(client->send(bytesOf("x")));
    ASSERT_TRUE(link());
    EXPECT_TRUE(client->send({}));
    client->close();
    EXPECT_FALSE(client->send(bytesOf("x")));
    runLoopFor(30ms);
    EXPECT_EQ(r.disconnected, 0);
}

TEST_F(SocketClient, AWriteThatWouldBlockIsQueuedWholeAndKeepsTheStreamIntact)
{
    ASSERT_TRUE(link());
    // Far more than the socket buffers hold while the peer does not read.
    std::vector<std::byte> expected;
    for (int frame = 0; frame < 400; ++frame) {
        std::vector<std::byte> bytes(4099, static_cast<std::byte>(frame));
        ASSERT_TRUE(client->send(bytes)) << frame;
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::byte> got;
    ASSERT_TRUE(runLoopUntil([&] {
        std::byte buffer[65536];
        ssize_t n = ::recv(listener.conn, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        return got.size() >= expected.size();
    }, 5s));
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(r.disconnected, 0);
}

TEST_F(SocketClient, PassingTheQueueBoundIsALostLink)
{
    ASSERT_TRUE(link());
    std::vector<std::byte> block(1 << 20, std::byte{0x5a});
    bool refused = false;
    for (int i = 0; i < 40 && !refused; ++i)
        refused = !client->send(block);
    EXPECT_TRUE(refused);
    ASSERT_TRUE(runLoopUntil([&] { return r.disconnected == 1; }, 2s));
    // The peer sees the link end instead of a stream cut in the middle.
    std::byte buffer[65536];
    ssize_t n;
    std::size_t total = 0;
    while ((n = ::read(listener.conn, buffer, sizeof buffer)) > 0)
        total += static_cast<std::size_t>(n);
    EXPECT_EQ(n, 0);
    EXPECT_LT(total, 40u << 20);
}

// The loss is reported once, by the read side, and sending fails after it.
TEST_F(SocketClient, WhatThePeerSentBeforeItWentIsDeliveredBeforeTheLoss)
{
    ASSERT_TRUE(link());
    ASSERT_EQ(::write(listener.conn, "last words", 10), 10);
    ::close(std::exchange(listener.conn, -1));
    // Our write fails first; the bytes already sent still arrive, then the loss.
    EXPECT_FALSE(client->send(bytesOf("hello?")) && client->send(bytesOf("anyone?")));
    EXPECT_EQ(r.disconnected, 0);
    ASSERT_TRUE(runLoopUntil([&] { return r.disconnected == 1; }, 2s));
    EXPECT_EQ(r.data, bytesOf("last words"));
    runLoopFor(30ms);
    EXPECT_FALSE(client->send(bytesOf("late")));
    EXPECT_EQ(r.disconnected, 1);
    EXPECT_EQ(r.connected, 1);
}

TEST_F(SocketClient, APeerOfAnotherUserIsALostLinkNotAConnection)
{
    auto stranger = std::make_shared<UnixSocketClient>(static_cast<unsigned>(::getuid()) + 1);
    Recorder seen(*stranger);
    ASSERT_TRUE(stranger->connect(listener.path, nullptr));
    ASSERT_TRUE(runLoopUntil([&] { return seen.disconnected == 1; }, 2s));
    EXPECT_EQ(seen.connected, 0);
}

TEST_F(SocketClient, AFailedSecondConnectKeepsTheFirstAndASuccessfulOneReplacesIt)
{
    Listener second(dir / "b.sock");
    ASSERT_TRUE(link());
    EXPECT_FALSE(client->connect(dir / "none.sock", nullptr));
    ASSERT_TRUE(client->send(bytesOf("still")));
    char buffer[16] = {};
    EXPECT_EQ(::read(listener.conn, buffer, sizeof buffer), 5);

    ASSERT_TRUE(client->connect(second.path, nullptr));
    ASSERT_GE(second.accept(), 0);
    ASSERT_TRUE(waitConnected(2));
    EXPECT_EQ(::read(listener.conn, buffer, sizeof buffer), 0);
    ASSERT_TRUE(client->send(bytesOf("new")));
    EXPECT_EQ(::read(second.conn, buffer, sizeof buffer), 3);
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
