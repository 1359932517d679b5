// The real stand-in binary in a temporary HOME, with the helper's side played
// here by an initiating protocol layer over a real AF_UNIX socket.
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
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
using Payloads = std::vector<Bytes>;
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
const Bytes kMove100x200p5 =
    bytes({0x03, 0, 0, 0, 0x10, 0x40, 0x59, 0, 0, 0, 0, 0, 0, 0x40, 0x69, 0x10, 0, 0, 0, 0, 0});

// MovePointer: two big-endian doubles.
Bytes move(double x, double y)
{
    Bytes out = bytes({0x03, 0, 0, 0, 0x10});
    for (double v : {x, y}) {
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::byte>(std::bit_cast<std::uint64_t>(v) >> shift));
    }
    return out;
}

bool exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The helper's side of the link.
class FakeHelper {
public:
    FakeHelper()
        : layer(std::make_shared<KNetwork::ProtocolLayer>(true, clock))
    {
        layer->setSecret(KNetwork::linkSecret(kIdentifier));
        layer->setOnSend([this](const Bytes &frame) { return writeAll(frame); });
        layer->setOnData([this](const Bytes &payload) { received.push_back(payload); });
        layer->setOnError([this](const std::string &text) { errors.push_back(text); });
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
        for (std::size_t done = 0; done < data.size();) {
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
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (peerClosed || left.count() <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            std::byte buffer[4096];
            ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, readSize), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                peerClosed = true;
            else
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
        int previous = -1, steady = 0;
        for (int tries = 0; tries < 1000 && steady < 5; ++tries) {
            int waiting = 0;
            if (::ioctl(fd, FIONREAD, &waiting) != 0)
                return false;
            steady = waiting > 0 && waiting == previous ? steady + 1 : 0;
            previous = waiting;
            ::usleep(10'000);
        }
        return steady == 5;
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
    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer;
    Payloads received;
    std::vector<std::string> errors;
    bool peerClosed = false;
};

// The stand-in in a fresh HOME, its stdout read line by line.
class MainAppProcess : public testing::Test {
protected:
    std::string socketPath() const { return home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock"; }
    std::string supportPath() const
    {
        return home / ("Library/Containers/" + kIdentifier + "/Data/Library/Application Support");
    }
    // Starts the stand-in and reads its first line.
    bool start(std::vector<std::string> args)
    {
        args.insert(args.begin(), TESSARON_MAIN_APP_EXECUTABLE);
        return app.start(args, {{"HOME", home.path()}}) && next() == "listening " + socketPath();
    }
    std::string next()
    {
        std::string line;
        if (!app.readLine(&line, kTimeout))
            return "(no line)";
        return line;
    }
    // Reads on until that line.
    bool waitFor(const std::string &wanted)
    {
        for (std::string line; app.readLine(&line, kTimeout);) {
            if (line == wanted)
                return true;
        }
        return false;
    }
    bool stopWith(int signo)
    {
        app.signal(signo);
        return app.wait(kTimeout) && app.exitCode() == 0;
    }

    TestSupport::TempDir home;
    Process app;
    FakeHelper helper;
};

TEST_F(MainAppProcess, ServesAHelperFromHandshakeToHangUp)
{
    ASSERT_TRUE(start({"-c", "move 100 200.5; line 0 0 10 10 3"}));
    for (const std::string &folder :
        {supportPath(), home / "Library", home / "Library/Group Containers/group.pro.tessaron.shared"}) {
        struct stat st {};
        EXPECT_EQ(::stat(folder.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0700u) << folder;
    }
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(5));
    // Stale or mis-summed frames would show up here.
    EXPECT_TRUE(helper.errors.empty());
    EXPECT_EQ(helper.received, (Payloads{kFeatures, kMove100x200p5, move(0, 0), move(5, 5), move(10, 10)}));

    // A Features answer stamped 100 s ago, framed by hand: reported, and the link goes on.
    const auto stamp = static_cast<std::uint32_t>(std::time(nullptr) - 100);
    Bytes stale =
        bytes({0, 0, 0, 6, int(stamp >> 24), int(stamp >> 16 & 0xFF), int(stamp >> 8 & 0xFF), int(stamp & 0xFF)});
    stale.insert(stale.end(), kFeatures.begin(), kFeatures.end());
    stale.insert(stale.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{6}});
    ASSERT_TRUE(helper.writeAll(stale));
    ASSERT_TRUE(helper.send(kFeatures));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(helper.send(bytes({0x09, 0, 0, 0, 0x02, 0xab, 0xcd})));
    ASSERT_TRUE(waitFor("message 9 abcd"));
    helper.hangUp();
    ASSERT_TRUE(waitFor("disconnected"));
    ASSERT_TRUE(stopWith(SIGTERM));
    EXPECT_EQ(app.out(),
        "listening " + socketPath() + "\nconnected\nhandshake-ok\nready\nsent 1 moves\nsent 3 moves\n"
        "error Frame expired or timestamp invalid\nfeatures 3\naccessibility-status 1 1\nmessage 9 abcd\n"
        "disconnected\n");
    EXPECT_FALSE(exists(socketPath()));
    EXPECT_EQ(app.err(), "");
}

TEST_F(MainAppProcess, WrongSecretFailsTheHelpersHandshake)
{
    ASSERT_TRUE(start({"--wrong-secret", "-c", "move 1 2"}));
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.pumpUntil([&] { return !helper.errors.empty(); }));
    EXPECT_EQ(helper.errors, (std::vector<std::string>{"Handshake failed: secret mismatch"}));
    EXPECT_TRUE(helper.received.empty());
    ASSERT_TRUE(stopWith(SIGINT));
}

// A hang-up mid-command ends that command; close ends the link; either way
// the rest of the script waits for the next helper. Exit closes after the
// queued moves and ends with 0.
TEST_F(MainAppProcess, AfterAHangUpOrACloseTheScriptGoesOnWithTheNextHelper)
{
    ASSERT_TRUE(start({"-c", "line 0 0 1 1 1000000; move 1 2; close; line 1 2 3 4 2; exit"}));
    {
        FakeHelper first;
        ASSERT_TRUE(first.connect(socketPath()));
        ASSERT_TRUE(first.waitForPayloads(10));
    }
    ASSERT_TRUE(waitFor("disconnected"));

    FakeHelper second;
    ASSERT_TRUE(second.connect(socketPath()));
    ASSERT_TRUE(second.waitForHangUp());
    EXPECT_EQ(second.received, (Payloads{kFeatures, move(1, 2)}));
    ASSERT_TRUE(waitFor("disconnected"));

    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForHangUp());
    EXPECT_EQ(helper.received, (Payloads{kFeatures, move(1, 2), move(3, 4)}));
    ASSERT_TRUE(app.wait(kTimeout));
    EXPECT_EQ(app.exitCode(), 0);
    // Only what reached the socket is counted.
    const std::string link = "connected\nhandshake-ok\nready\nsent ", &out = app.out();
    ASSERT_NE(out.find(link), std::string::npos) << out;
    const long count = std::stol(out.substr(out.find(link) + link.size()));
    EXPECT_GE(count, 10);
    EXPECT_LT(count, 1000000);
    EXPECT_EQ(out, "listening " + socketPath() + "\n" + link + std::to_string(count) + " moves\ndisconnected\n" + link
            + "1 moves\ndisconnected\n" + link + "2 moves\ndisconnected\n");
    EXPECT_FALSE(exists(socketPath()));
}

struct PacedCase {
    const char *name;
    const char *script;
    Bytes firstMove;
    std::size_t sentLines; // a command counts once it is done
};

// The second move of each script is due in 100 s or more: the answer comes between.
const PacedCase kPaced[] = {
    {"Rate", "rate 0.01; line 0 0 10 10 2", move(0, 0), 0},
    {"Wait", "move 1 2; wait 600000; move 3 4", move(1, 2), 1},
};

class PacedScript : public MainAppProcess, public testing::WithParamInterface<PacedCase> {};

TEST_P(PacedScript, DoesNotHoldBackTheHelpersAnswers)
{
    ASSERT_TRUE(start({"-c", GetParam().script}));
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(2));
    ASSERT_TRUE(helper.send(kStatusTrusted));
    ASSERT_TRUE(waitFor("accessibility-status 1 1"));
    ASSERT_TRUE(stopWith(SIGTERM));
    EXPECT_EQ(helper.received, (Payloads{kFeatures, GetParam().firstMove}));
    std::size_t sentLines = 0;
    for (std::size_t at = 0; (at = app.out().find("\nsent ", at)) != std::string::npos; ++at)
        ++sentLines;
    EXPECT_EQ(sentLines, GetParam().sentLines) << app.out();
}

INSTANTIATE_TEST_SUITE_P(Scripts, PacedScript, testing::ValuesIn(kPaced),
    [](const auto &info) { return std::string(info.param.name); });

// Bad commands are skipped with their place named; --once ends the program
// with the first connection.
TEST_F(MainAppProcess, StdinFollowsTheDashCScriptAndBadCommandsAreSkipped)
{
    const std::string input = home / "commands";
    std::ofstream(input) << "raw 0900000001ff\nbogus 1\n# a comment\nline 0 0 10 10 3\nclose\nmove 5 6\n";
    // A file on stdin: Process itself gives the child /dev/null.
    ASSERT_TRUE(app.start({"/bin/sh", "-c", "f=$1; shift; exec \"$0\" \"$@\" < \"$f\"", TESSARON_MAIN_APP_EXECUTABLE,
                              input, "--once", "-c", "move 1; jump; features 3 5"},
        {{"HOME", home.path()}}));
    ASSERT_EQ(next(), "listening " + socketPath());
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForHangUp());
    EXPECT_EQ(helper.received, (Payloads{kFeatures, bytes({0x02, 0, 0, 0, 0x02, 0x03, 0x05}),
                                   bytes({0x09, 0, 0, 0, 0x01, 0xff}), move(0, 0), move(5, 5), move(10, 10)}));
    ASSERT_TRUE(app.wait(kTimeout));
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_EQ(app.err(),
        "tessaron: -c command 1: move takes 2 arguments (X Y), got 1; skipped\n"
        "tessaron: -c command 2: unknown command \"jump\"; skipped\n"
        "tessaron: stdin line 2: unknown command \"bogus\"; skipped\n");
    EXPECT_FALSE(exists(socketPath()));
}

// Megabytes of frames while the helper stops reading: the writes come back
// short, then refused, and the unsent tails must follow.
TEST_F(MainAppProcess, ManyMovesArriveWholeAndInOrderPastAStalledHelper)
{
    ASSERT_TRUE(start({"--no-features", "-c", "line 0 0 99999 -99999 100000"}));
    helper.readSize = 1000;
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(1));
    ASSERT_TRUE(helper.stallUntilTheSenderBlocks());
    ASSERT_TRUE(helper.waitForPayloads(100000));
    EXPECT_TRUE(helper.errors.empty());
    ASSERT_EQ(helper.received.size(), 100000u);
    EXPECT_EQ(helper.received.front(), move(0, 0));
    for (std::size_t i : {1, 54321, 99999})
        EXPECT_EQ(helper.received[i], move(double(i), -double(i))) << i;
    ASSERT_TRUE(waitFor("sent 100000 moves"));
    ASSERT_TRUE(stopWith(SIGTERM));
    EXPECT_EQ(app.err(), "");
}

// Four payloads queued at once outgrow the socket's buffer: the writes come
// back short, then refused, and the unsent tails must follow.
TEST_F(MainAppProcess, PayloadsLargerThanTheSocketTakesArriveWhole)
{
    std::vector<std::string> args = {"--no-features"};
    Payloads expected;
    for (std::size_t k = 0; k < 4; ++k) {
        Bytes payload(60000);
        std::string script = "raw ";
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<std::byte>((i * 7 + k * 31) & 0xff);
            script += "0123456789abcdef"[(i * 7 + k * 31) >> 4 & 15];
            script += "0123456789abcdef"[(i * 7 + k * 31) & 15];
        }
        args.insert(args.end(), {"-c", script});
        expected.push_back(std::move(payload));
    }
    ASSERT_TRUE(start(args));
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(waitFor("ready"));
    ASSERT_TRUE(helper.stallUntilTheSenderBlocks());
    ASSERT_TRUE(helper.waitForPayloads(4));
    EXPECT_TRUE(helper.errors.empty());
    EXPECT_TRUE(helper.received == expected);
    ASSERT_TRUE(stopWith(SIGTERM));
    EXPECT_EQ(app.err(), "");
}

TEST_F(MainAppProcess, StaleSocketFileIsReplacedButALiveOneIsLeftAlone)
{
    std::filesystem::create_directories(std::filesystem::path(socketPath()).parent_path());
    {
        // Bound and closed without anyone listening: what a crash leaves.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketPath();
        std::copy(path.begin(), path.end(), address.sun_path);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    ASSERT_TRUE(start({}));
    Process second;
    ASSERT_TRUE(second.start({TESSARON_MAIN_APP_EXECUTABLE}, {{"HOME", home.path()}}));
    ASSERT_TRUE(second.wait(kTimeout));
    EXPECT_EQ(second.exitCode(), 2);
    EXPECT_EQ(second.err(), "tessaron: another main app is listening at " + socketPath() + "\n");

    // The first one still serves: its socket was not taken away.
    ASSERT_TRUE(helper.connect(socketPath()));
    ASSERT_TRUE(helper.waitForPayloads(1));
    EXPECT_EQ(helper.received.front(), kFeatures);
    ASSERT_TRUE(stopWith(SIGTERM));
}

TEST_F(MainAppProcess, RefusesAHomeWithoutRoomForTheSocketPathOrNoHomeAtAll)
{
    const std::string longHome = home / std::string(110, 'h');
    for (const auto &[value, reason] : {std::pair{longHome, std::string("longer than a socket address holds")},
             std::pair{std::string(), std::string("HOME is not set; it holds the containers\n")}}) {
        Process app;
        ASSERT_TRUE(app.start({TESSARON_MAIN_APP_EXECUTABLE}, {{"HOME", value}}));
        ASSERT_TRUE(app.wait(kTimeout));
        EXPECT_EQ(app.exitCode(), 2);
        EXPECT_EQ(app.out(), "");
        EXPECT_NE(app.err().find(reason), std::string::npos);
        EXPECT_EQ(std::count(app.err().begin(), app.err().end(), '\n'), 1);
    }
    // Refused before anything was made.
    EXPECT_FALSE(exists(longHome));
}

TEST_F(MainAppProcess, LaunchesTheInstalledHelperDetachedWithoutOurStdio)
{
    const std::string macos = supportPath() + "/Tessaron Helper.app/Contents/MacOS";
    std::filesystem::create_directories(macos);
    // Records its arguments, whether stdin is empty and whether it leads its
    // own session; prints a word that must not reach our events.
    std::ofstream(macos + "/tessaron-helper")
        << "#!/bin/sh\n"
           "read line; sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
           "echo \"args=$# stdin=${line:-empty} leader=$([ \"$sid\" = $$ ] && echo yes || echo no)\" \\\n"
           "  > \"$HOME/launched\"\n"
           "echo noise\n";
    std::filesystem::permissions(macos + "/tessaron-helper", std::filesystem::perms::owner_all);

    ASSERT_TRUE(start({"--launch-helper"}));
    EXPECT_EQ(next().rfind("helper-launched ", 0), 0u);
    ASSERT_TRUE(waitFor("helper-exited 0"));
    std::string record;
    std::getline(std::ifstream(home / "launched"), record);
    EXPECT_EQ(record, "args=0 stdin=empty leader=yes");
    ASSERT_TRUE(stopWith(SIGTERM));
    EXPECT_EQ(app.out().find("noise"), std::string::npos);
    EXPECT_NE(app.err().find("noise"), std::string::npos);
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
        EXPECT_NE(plist.find("<key>" + key + "</key>\n\t<string>" + value + "</string>"), std::string::npos) << key;
    }
    EXPECT_NE(plist.find("<key>CFBundleShortVersionString</key>"), std::string::npos);
    EXPECT_NE(plist.find("<key>CFBundleVersion</key>"), std::string::npos);
}

} // namespace
