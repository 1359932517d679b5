// The real stand-in binary in a temporary HOME, with the helper's side played
// here by an initiating protocol layer over a real AF_UNIX socket.
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Bytes = std::vector<std::byte>;
using TestSupport::Process;

namespace {

constexpr auto kTimeout = 10s;
const std::string kIdentifier = TESSARON_MAIN_APP_ID;

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::byte>(v));
    return out;
}

// Written out by hand, not by the code under test.
const Bytes kFeatures = bytes({0x02, 0, 0, 0, 0x01, 0x03});
const Bytes kStatusTrusted = bytes({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x01});
const Bytes kMove100x200p5 = bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0});
const Bytes kMove0x0 = bytes({0x03, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
const Bytes kMove5x5 = bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x14, 0, 0, 0, 0, 0, 0, 0x40, 0x14, 0, 0, 0, 0, 0, 0});
const Bytes kMove10x10 = bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x24, 0, 0, 0, 0, 0, 0, 0x40, 0x24, 0, 0, 0, 0, 0, 0});
const Bytes kMove1x2 = bytes({0x03, 0, 0, 0, 0x10, 0x3f, 0xf0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0});
const Bytes kMove3x4 = bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0x40, 0x10, 0, 0, 0, 0, 0, 0});

class TempHome {
public:
    TempHome()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessaron-mainapp-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempHome()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    std::string socketPath() const { return path + "/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock"; }
    std::string supportPath() const
    {
        return path + "/Library/Containers/" + kIdentifier + "/Data/Library/Application Support";
    }

    std::string path;
};

// The stand-in with its stdout kept line by line.
class StandIn {
public:
    bool start(const TempHome &home, std::vector<std::string> args)
    {
        args.insert(args.begin(), TESSARON_MAIN_APP_EXECUTABLE);
        return process.start(args, {{"HOME", home.path}});
    }
    std::string next()
    {
        std::string line;
        if (!process.readLine(&line, kTimeout))
            return "(no line)";
        lines.push_back(line);
        return line;
    }
    // Reads on until that line; the lines passed over stay in `lines`.
    bool waitFor(const std::string &wanted)
    {
        for (;;) {
            std::string line;
            if (!process.readLine(&line, kTimeout))
                return false;
            lines.push_back(line);
            if (line == wanted)
                return true;
        }
    }
    // True when `ordered` appear in this order among the lines read so far.
    bool sawInOrder(const std::vector<std::string> &ordered) const
    {
        auto at = lines.begin();
        for (const std::string &wanted : ordered) {
            at = std::find(at, lines.end(), wanted);
            if (at == lines.end())
                return false;
            ++at;
        }
        return true;
    }
    bool stopWith(int signo)
    {
        process.signal(signo);
        return process.wait(kTimeout) && process.exitCode() == 0;
    }

    Process process;
    std::vector<std::string> lines;
};

// The helper's side of the link.
class FakeHelper {
public:
    FakeHelper()
        : layer(std::make_shared<KNetwork::ProtocolLayer>(true))
    {
        layer->setSecret(KNetwork::linkSecret(kIdentifier));
        layer->setOnSend([this](const Bytes &frame) { return writeAll(frame); });
        layer->setOnData([this](const Bytes &payload) { received.push_back(payload); });
        layer->setOnError([this](const std::string &text) { errors.push_back(text); });
        layer->setOnHandshake([this] { verified = true; });
    }
    ~FakeHelper() { hangUp(); }

    bool connect(const std::string &path)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd < 0 || path.size() >= sizeof address.sun_path)
            return false;
        std::copy(path.begin(), path.end(), address.sun_path);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return false;
        layer->startHandshake();
        return true;
    }
    bool writeAll(const Bytes &data)
    {
        std::size_t done = 0;
        while (done < data.size()) {
            ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool send(const Bytes &payload) { return layer->send(payload.data(), payload.size()); }
    // Reads and decodes until `done` holds, the peer hangs up, or time runs out.
    bool pumpUntil(const std::function<bool()> &done)
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (!done()) {
            if (peerClosed)
                return false;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            std::byte buffer[4096];
            ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, readSize), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                peerClosed = true;
                continue;
            }
            layer->processIncoming(Bytes(buffer, buffer + n));
        }
        return true;
    }
    bool waitForPayloads(std::size_t count)
    {
        return pumpUntil([&] { return received.size() >= count; });
    }
    bool waitForHangUp()
    {
        pumpUntil([] { return false; });
        return peerClosed;
    }
    // Reads nothing until the bytes waiting stop growing: the sender's
    // socket is full then, and its writes are refused or cut short. The
    // pause only provokes that; no result depends on its length.
    bool stallUntilTheSenderBlocks()
    {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        int previous = -1, steady = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            int waiting = 0;
            if (::ioctl(fd, FIONREAD, &waiting) != 0)
                return false;
            steady = waiting > 0 && waiting == previous ? steady + 1 : 0;
            if (steady == 5)
                return true;
            previous = waiting;
            ::usleep(10'000);
        }
        return false;
    }
    void hangUp()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    int fd = -1;
    // Small reads make a slow helper, whose socket the stand-in fills.
    std::size_t readSize = 4096;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
    std::vector<Bytes> received;
    std::vector<std::string> errors;
    bool verified = false;
    bool peerClosed = false;
};

mode_t modeOf(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(MainAppProcess, ServesAHelperFromHandshakeToHangUp)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"-c", "move 100 200.5; line 0 0 10 10 3"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    EXPECT_EQ(modeOf(home.supportPath()), 0700u);
    EXPECT_EQ(modeOf(home.path + "/Library"), 0700u);
    EXPECT_EQ(modeOf(home.path + "/Library/Group Containers/group.pro.tessaron.shared"), 0700u);

    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(5));
    EXPECT_TRUE(helper.verified);
    // Stale or mis-summed frames would show up here.
    EXPECT_TRUE(helper.errors.empty());
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kFeatures, kMove100x200p5, kMove0x0, kMove5x5, kMove10x10}));

    ASSERT_TRUE(helper.send(kFeatures));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(helper.send(bytes({0x09, 0, 0, 0, 0x02, 0xab, 0xcd})));
    ASSERT_TRUE(app.waitFor("message 9 abcd"));
    helper.hangUp();
    ASSERT_TRUE(app.waitFor("disconnected"));

    EXPECT_TRUE(app.sawInOrder({"listening " + home.socketPath(), "connected", "handshake-ok", "ready", "sent 1 moves",
        "sent 3 moves", "disconnected"}));
    EXPECT_TRUE(app.sawInOrder({"ready", "features 3", "accessibility-status 1 1", "message 9 abcd", "disconnected"}));
    ASSERT_TRUE(app.stopWith(SIGTERM)) << app.process.err();
    EXPECT_FALSE(exists(home.socketPath()));
    EXPECT_EQ(app.process.err(), "");
}

TEST(MainAppProcess, WrongSecretFailsTheHelpersHandshake)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"--wrong-secret", "-c", "move 1 2"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.pumpUntil([&] { return !helper.errors.empty(); }));
    EXPECT_EQ(helper.errors, (std::vector<std::string>{"Handshake failed: secret mismatch"}));
    EXPECT_FALSE(helper.verified);
    EXPECT_TRUE(helper.received.empty());
    ASSERT_TRUE(app.stopWith(SIGINT));
}

TEST(MainAppProcess, CloseLetsTheNextHelperInAndTheScriptGoesOn)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"-c", "move 1 2; close; move 3 4"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());

    FakeHelper first;
    ASSERT_TRUE(first.connect(home.socketPath()));
    ASSERT_TRUE(first.waitForHangUp());
    EXPECT_EQ(first.received, (std::vector<Bytes>{kFeatures, kMove1x2}));
    ASSERT_TRUE(app.waitFor("disconnected"));

    FakeHelper second;
    ASSERT_TRUE(second.connect(home.socketPath()));
    ASSERT_TRUE(second.waitForPayloads(2));
    EXPECT_EQ(second.received, (std::vector<Bytes>{kFeatures, kMove3x4}));
    ASSERT_TRUE(app.waitFor("sent 1 moves"));
    EXPECT_TRUE(app.sawInOrder({"connected", "sent 1 moves", "disconnected", "connected", "handshake-ok", "ready",
        "sent 1 moves"}));
    ASSERT_TRUE(app.stopWith(SIGTERM));
}

TEST(MainAppProcess, BadCommandsAreSkippedAndOnceEndsWithTheFirstConnection)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"--once", "-c", "move 1; jump; move 3 4"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(2));
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kFeatures, kMove3x4}));
    helper.hangUp();
    ASSERT_TRUE(app.process.wait(kTimeout));
    EXPECT_EQ(app.process.exitCode(), 0);
    EXPECT_EQ(app.process.err(),
        "tessaron: -c command 1: move takes 2 arguments (X Y), got 1; skipped\n"
        "tessaron: -c command 2: unknown command \"jump\"; skipped\n");
    EXPECT_FALSE(exists(home.socketPath()));
}

TEST(MainAppProcess, ExitClosesAfterTheQueuedMovesAndEndsWithZero)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"--no-features", "-c", "line 0 0 10 10 3; exit"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForHangUp());
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kMove0x0, kMove5x5, kMove10x10}));
    ASSERT_TRUE(app.process.wait(kTimeout));
    EXPECT_EQ(app.process.exitCode(), 0);
    EXPECT_NE(app.process.out().find("handshake-ok\nready\nsent 3 moves\ndisconnected\n"), std::string::npos)
        << app.process.out();
}

TEST(MainAppProcess, PacedMovesDoNotHoldBackTheHelpersAnswers)
{
    TempHome home;
    StandIn app;
    // The second move is due in 100 s: everything below happens between the two.
    ASSERT_TRUE(app.start(home, {"-c", "rate 0.01; line 0 0 10 10 2"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(2));
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kFeatures, kMove0x0}));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(app.waitFor("accessibility-status 1 1"));
    ASSERT_TRUE(app.stopWith(SIGTERM));
    EXPECT_EQ(app.process.out().find("sent"), std::string::npos);
    EXPECT_EQ(helper.received.size(), 2u);
}

TEST(MainAppProcess, WaitPausesTheScriptButKeepsServingTheLink)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"-c", "move 1 2; wait 600000; move 3 4"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(2));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(app.waitFor("accessibility-status 1 1"));
    ASSERT_TRUE(app.stopWith(SIGTERM));
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kFeatures, kMove1x2}));
    EXPECT_NE(app.process.out().find("sent 1 moves\n"), std::string::npos);
    EXPECT_EQ(app.process.out().find("sent 1 moves\n", app.process.out().find("sent 1 moves\n") + 1),
        std::string::npos);
}

TEST(MainAppProcess, StdinFollowsTheDashCScript)
{
    TempHome home;
    const std::string input = home.path + "/commands";
    std::ofstream(input) << "raw 0900000001ff\nbogus 1\n# a comment\nmove 3 4\nexit\nmove 5 6\n";
    // A file on stdin: Process itself gives the child /dev/null.
    Process app;
    ASSERT_TRUE(app.start({"/bin/sh", "-c", "f=$1; shift; exec \"$0\" \"$@\" < \"$f\"", TESSARON_MAIN_APP_EXECUTABLE, input, "-c",
                              "features 3 5"},
        {{"HOME", home.path}}));
    std::string line;
    ASSERT_TRUE(app.readLine(&line, kTimeout));
    ASSERT_EQ(line, "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForHangUp());
    EXPECT_EQ(helper.received, (std::vector<Bytes>{kFeatures, bytes({0x02, 0, 0, 0, 0x02, 0x03, 0x05}),
                                   bytes({0x09, 0, 0, 0, 0x01, 0xff}), kMove3x4}));
    ASSERT_TRUE(app.wait(kTimeout));
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_EQ(app.err(), "tessaron: stdin line 2: unknown command \"bogus\"; skipped\n");
}

TEST(MainAppProcess, ManyMovesArriveWholeAndInOrderPastAStalledHelper)
{
    TempHome home;
    StandIn app;
    // Megabytes of frames, paused while the helper stops reading.
    ASSERT_TRUE(app.start(home, {"--no-features", "-c", "line 0 0 99999 -99999 100000"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    helper.readSize = 1000;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(1));
    ASSERT_TRUE(helper.stallUntilTheSenderBlocks());
    ASSERT_TRUE(helper.waitForPayloads(100000));
    EXPECT_TRUE(helper.errors.empty());
    ASSERT_EQ(helper.received.size(), 100000u);
    EXPECT_EQ(helper.received.front(), kMove0x0);
    for (std::size_t i : {std::size_t{1}, std::size_t{54321}, std::size_t{99999}}) {
        const Bytes &m = helper.received[i];
        ASSERT_EQ(m.size(), 21u);
        std::uint64_t x = 0, y = 0;
        for (int b = 0; b < 8; ++b) {
            x = x << 8 | std::to_integer<std::uint64_t>(m[5 + static_cast<std::size_t>(b)]);
            y = y << 8 | std::to_integer<std::uint64_t>(m[13 + static_cast<std::size_t>(b)]);
        }
        EXPECT_EQ(std::bit_cast<double>(x), static_cast<double>(i)) << i;
        EXPECT_EQ(std::bit_cast<double>(y), -static_cast<double>(i)) << i;
    }
    ASSERT_TRUE(app.waitFor("sent 100000 moves"));
    ASSERT_TRUE(app.stopWith(SIGTERM));
    EXPECT_EQ(app.process.err(), "");
}

TEST(MainAppProcess, PayloadsLargerThanTheSocketTakesArriveWhole)
{
    TempHome home;
    // Four payloads queued at once outgrow the socket's buffer: the writes
    // come back short, then refused, and the unsent tails must follow.
    std::vector<std::string> args = {"--no-features"};
    std::vector<Bytes> expected;
    for (int k = 0; k < 4; ++k) {
        Bytes payload(60000);
        std::string script = "raw ";
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<std::byte>((i * 7 + static_cast<std::size_t>(k) * 31) & 0xff);
            static const char digits[] = "0123456789abcdef";
            script += digits[std::to_integer<int>(payload[i]) >> 4];
            script += digits[std::to_integer<int>(payload[i]) & 15];
        }
        args.insert(args.end(), {"-c", script});
        expected.push_back(std::move(payload));
    }
    StandIn app;
    ASSERT_TRUE(app.start(home, args));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.pumpUntil([&] { return helper.verified; }));
    ASSERT_TRUE(helper.stallUntilTheSenderBlocks());
    ASSERT_TRUE(helper.waitForPayloads(4));
    EXPECT_TRUE(helper.errors.empty());
    EXPECT_TRUE(helper.received == expected);
    ASSERT_TRUE(app.stopWith(SIGTERM));
    EXPECT_EQ(app.process.err(), "");
}

TEST(MainAppProcess, HelperHangingUpMidStreamEndsTheCommandNotTheProgram)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {"--no-features", "-c", "line 0 0 1 1 1000000; move 3 4"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    {
        FakeHelper helper;
        ASSERT_TRUE(helper.connect(home.socketPath()));
        ASSERT_TRUE(helper.waitForPayloads(10));
    }
    ASSERT_TRUE(app.waitFor("disconnected"));
    // Only what reached the socket is counted.
    ASSERT_GE(app.lines.size(), 2u);
    const std::string sent = app.lines[app.lines.size() - 2];
    ASSERT_EQ(sent.rfind("sent ", 0), 0u) << sent;
    const long count = std::stol(sent.substr(5));
    EXPECT_GE(count, 10);
    EXPECT_LT(count, 1000000);

    // The rest of the script waits for the next helper.
    FakeHelper next;
    ASSERT_TRUE(next.connect(home.socketPath()));
    ASSERT_TRUE(next.waitForPayloads(1));
    EXPECT_EQ(next.received, (std::vector<Bytes>{kMove3x4}));
    ASSERT_TRUE(app.stopWith(SIGTERM));
}

TEST(MainAppProcess, StaleFramesAreReportedAndTheLinkGoesOn)
{
    TempHome home;
    StandIn app;
    ASSERT_TRUE(app.start(home, {}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(home.socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(1));

    // A Features answer stamped 100 s ago, framed by hand.
    const auto stamp = static_cast<std::uint32_t>(std::time(nullptr) - 100);
    Bytes stale = bytes({0, 0, 0, 6});
    for (int shift = 24; shift >= 0; shift -= 8)
        stale.push_back(static_cast<std::byte>(stamp >> shift));
    stale.insert(stale.end(), kFeatures.begin(), kFeatures.end());
    stale.insert(stale.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{6}});
    ASSERT_TRUE(helper.writeAll(stale));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(app.waitFor("accessibility-status 1 1"));
    EXPECT_TRUE(app.sawInOrder({"ready", "error Frame expired or timestamp invalid", "accessibility-status 1 1"}));
    EXPECT_FALSE(app.sawInOrder({"features 3"}));
    ASSERT_TRUE(app.stopWith(SIGTERM));
}

TEST(MainAppProcess, StaleSocketFileIsReplacedButALiveOneIsLeftAlone)
{
    TempHome home;
    const std::string socketPath = home.socketPath();
    std::filesystem::create_directories(std::filesystem::path(socketPath).parent_path());
    {
        // Bound and closed without anyone listening: what a crash leaves.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    StandIn first;
    ASSERT_TRUE(first.start(home, {}));
    ASSERT_EQ(first.next(), "listening " + socketPath);

    StandIn second;
    ASSERT_TRUE(second.start(home, {}));
    ASSERT_TRUE(second.process.wait(kTimeout));
    EXPECT_EQ(second.process.exitCode(), 2);
    EXPECT_EQ(second.process.err(), "tessaron: another main app is listening at " + socketPath + "\n");

    // The first one still serves: its socket was not taken away.
    FakeHelper helper;
    ASSERT_TRUE(helper.connect(socketPath));
    ASSERT_TRUE(helper.waitForPayloads(1));
    EXPECT_EQ(helper.received.front(), kFeatures);
    ASSERT_TRUE(first.stopWith(SIGTERM));
}

TEST(MainAppProcess, RefusesAHomeWhoseSocketPathDoesNotFit)
{
    TempHome home;
    const std::string longHome = home.path + "/" + std::string(110, 'h');
    Process app;
    ASSERT_TRUE(app.start({TESSARON_MAIN_APP_EXECUTABLE}, {{"HOME", longHome}}));
    ASSERT_TRUE(app.wait(kTimeout));
    EXPECT_EQ(app.exitCode(), 2);
    EXPECT_EQ(app.out(), "");
    EXPECT_NE(app.err().find("longer than a socket address holds"), std::string::npos) << app.err();
    EXPECT_EQ(std::count(app.err().begin(), app.err().end(), '\n'), 1);
    // Refused before anything was made.
    EXPECT_FALSE(exists(longHome));
}

TEST(MainAppProcess, RefusesToStartWithoutHome)
{
    Process app;
    ASSERT_TRUE(app.start({TESSARON_MAIN_APP_EXECUTABLE}, {{"HOME", ""}}));
    ASSERT_TRUE(app.wait(kTimeout));
    EXPECT_EQ(app.exitCode(), 2);
    EXPECT_EQ(app.err(), "tessaron: HOME is not set; it holds the containers\n");
}

TEST(MainAppProcess, LaunchesTheInstalledHelperDetachedWithoutOurStdio)
{
    TempHome home;
    const std::string macos = home.supportPath() + "/Tessaron Helper.app/Contents/MacOS";
    std::filesystem::create_directories(macos);
    {
        std::ofstream script(macos + "/tessaron-helper");
        // Records its arguments, whether stdin is empty and whether it leads
        // its own session; prints a word that must not reach our events.
        script << "#!/bin/sh\n"
                  "read line; sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
                  "echo \"args=$# stdin=${line:-empty} leader=$([ \"$sid\" = $$ ] && echo yes || echo no)\" > \"$HOME/launched\"\n"
                  "echo noise\n";
    }
    std::filesystem::permissions(macos + "/tessaron-helper", std::filesystem::perms::owner_all);

    StandIn app;
    ASSERT_TRUE(app.start(home, {"--launch-helper"}));
    ASSERT_EQ(app.next(), "listening " + home.socketPath());
    EXPECT_EQ(app.next().rfind("helper-launched ", 0), 0u);
    ASSERT_TRUE(app.waitFor("helper-exited 0"));
    std::ifstream launched(home.path + "/launched");
    std::string record;
    std::getline(launched, record);
    EXPECT_EQ(record, "args=0 stdin=empty leader=yes");
    ASSERT_TRUE(app.stopWith(SIGTERM));
    EXPECT_EQ(app.process.out().find("noise"), std::string::npos);
    EXPECT_NE(app.process.err().find("noise"), std::string::npos);
}

TEST(MainAppBundle, InfoPlistNamesTheProgramBesideIt)
{
    const std::filesystem::path executable = TESSARON_MAIN_APP_EXECUTABLE;
    const std::filesystem::path contents = executable.parent_path().parent_path();
    EXPECT_EQ(executable.filename(), "tessaron");
    EXPECT_EQ(contents.parent_path().filename(), "Tessaron.app");
    std::ifstream file(contents / "Info.plist");
    const std::string plist((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{{"CFBundleName", "Tessaron"},
             {"CFBundleDisplayName", "Tessaron"}, {"CFBundleIdentifier", kIdentifier},
             {"CFBundleExecutable", "tessaron"}}) {
        const std::string entry = "<key>" + key + "</key>\n\t<string>" + value + "</string>";
        EXPECT_NE(plist.find(entry), std::string::npos) << key;
    }
    EXPECT_NE(plist.find("<key>CFBundleShortVersionString</key>"), std::string::npos);
    EXPECT_NE(plist.find("<key>CFBundleVersion</key>"), std::string::npos);
}

} // namespace
