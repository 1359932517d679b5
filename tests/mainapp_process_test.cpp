// The real stand-in binary in a temporary HOME, with the helper's side played
// here by an initiating protocol layer over a real AF_UNIX socket.
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "platform/linux/machine_id.h"
#include "tests/support/frames.h"
#include "harness/process.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

using TestSupport::Bytes;
using TestSupport::bytes;
using TestSupport::moveMessage;
using Harness::Process;
using Payloads = std::vector<Bytes>;

namespace {

constexpr std::chrono::seconds kTimeout{10};
const std::string kIdentifier = TESSARON_MAIN_APP_ID;

// Written out by hand, not by the code under test.
const Bytes kFeatures = bytes({0x02, 0, 0, 0, 0x01, 0x03});
const Bytes kStatusTrusted = bytes({0x04, 0, 0, 0, 0x05, 0, 0, 0, 0x01, 0x01});

// The helper's side of the link.
struct FakeHelper {
    explicit FakeHelper(const std::string &secret = KNetwork::linkSecret(kIdentifier, Linux::machineUUID()))
    {
        layer->setSecret(secret);
        layer->setOnSend([this](const Bytes &frame) { return writeAll(frame); });
        layer->setOnData([this](const Bytes &payload) { received.push_back(payload); });
        layer->setOnError([this](const std::string &text) { errors.push_back(text); });
    }
    ~FakeHelper() { hangUp(); }

    bool connect(const std::string &path)
    {
        sockaddr_un to{AF_UNIX, {}};
        path.copy(to.sun_path, sizeof to.sun_path - 1);
        const timeval limit{kTimeout.count(), 0};
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
        layer->startHandshake();
        return connected;
    }
    bool writeAll(const Bytes &data) { return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size()); }
    bool send(const Bytes &payload) { return layer->send(payload.data(), payload.size()); }
    // Reads and decodes until `done` holds, the peer hangs up, or a read
    // waits in vain. Small reads make a slow helper, whose socket the
    // stand-in fills.
    bool pumpUntil(const std::function<bool()> &done)
    {
        while (!done()) {
            std::byte buffer[1000];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            peerClosed = n == 0;
            if (n <= 0)
                return false;
            layer->processIncoming(Bytes(buffer, buffer + n));
        }
        return true;
    }
    bool waitForPayloads(std::size_t count) { return pumpUntil([&] { return received.size() >= count; }); }
    bool waitForHangUp() { return !pumpUntil([] { return false; }) && peerClosed; }
    void hangUp() { ::close(std::exchange(fd, -1)); }

    int fd = -1;
    Platform::SystemClock clock;
    std::shared_ptr<KNetwork::ProtocolLayer> layer = std::make_shared<KNetwork::ProtocolLayer>(true, clock);
    Payloads received;
    std::vector<std::string> errors;
    bool peerClosed = false;
};

// The stand-in in a fresh HOME, its stdout read line by line.
class MainAppProcess : public testing::Test {
protected:
    std::string socketPath() const { return home / "Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock"; }
    std::string supportPath() const { return home / ("Library/Containers/" + kIdentifier + "/Data/Library/Application Support"); }
    // Starts the stand-in, stdin from `input`, and reads its first line.
    bool start(std::vector<std::string> args, const std::string &input = "/dev/null")
    {
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" < \"$INPUT\"", TESSARON_MAIN_APP_EXECUTABLE});
        std::string line;
        return app.start(args, {{"HOME", home.path()}, {"INPUT", input}}) && app.readLine(&line, kTimeout)
            && line == "listening " + socketPath();
    }
    // Reads on until that line.
    bool waitFor(const std::string &wanted)
    {
        std::string line;
        while (app.readLine(&line, kTimeout) && line != wanted) {
        }
        return line == wanted;
    }
    // Ends by itself or on `signo`, with status 0 and its socket file gone.
    void expectCleanEnd(int signo = 0)
    {
        if (signo)
            app.signal(signo);
        ASSERT_TRUE(app.wait(kTimeout));
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socketPath())));
    }

    Harness::TempDir home;
    Process app;
    FakeHelper helper;
};

// One helper from handshake to hang-up: stdin follows the -c scripts, bad
// commands are skipped with their place named, megabytes of frames pass a
// helper that stops reading (writes come back short, then refused, and the
// unsent tails must follow), bad frames are reported and the link goes on,
// and --once ends the program with the first connection.
TEST_F(MainAppProcess, ServesAHelperFromHandshakeToHangUp)
{
    std::ofstream(home / "commands") << "raw 0900000001ff\nbogus 1\n# a comment\nline 0 0 10 10 3\n";
    // A sign bit and a mantissa that fills every byte catch a swapped, cut or narrowed double.
    std::vector<std::string> args = {"--once", "-c", "move -1.1 0.1; move 1; jump; features 3 5"};
    Payloads raws;
    for (char digit : {'1', '2', '3', '4'}) {
        args.insert(args.end(), {"-c", "raw " + std::string(120000, digit)});
        raws.emplace_back(60000, std::byte((digit - '0') * 0x11));
    }
    args.insert(args.end(), {"-c", "line 0 0 99999 -99999 100000"});
    ASSERT_TRUE(start(args, home / "commands"));
    for (const std::string &folder :
        {supportPath(), home / "Library", home / "Library/Group Containers/group.pro.tessaron.shared"}) {
        struct stat st {};
        EXPECT_EQ(::stat(folder.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0700u) << folder;
    }
    ASSERT_TRUE(helper.connect(socketPath()) && waitFor("ready"));
    // Reads nothing until the bytes waiting stop growing: the stand-in's
    // socket is full then. The pause only provokes that; no result depends on it.
    int previous = -1, steady = 0;
    for (int tries = 0; tries < 1000 && steady < 5; ++tries, ::usleep(10'000)) {
        int waiting = 0;
        ASSERT_EQ(::ioctl(helper.fd, FIONREAD, &waiting), 0);
        steady = waiting > 0 && waiting == previous ? steady + 1 : 0;
        previous = waiting;
    }
    ASSERT_EQ(steady, 5);
    ASSERT_TRUE(helper.waitForPayloads(100011));
    // Stale or mis-summed frames would show up here.
    EXPECT_TRUE(helper.errors.empty());
    const Payloads &got = helper.received;
    EXPECT_EQ(Payloads(got.begin(), got.begin() + 3),
        (Payloads{kFeatures, moveMessage(-1.1, 0.1), bytes({0x02, 0, 0, 0, 0x02, 0x03, 0x05})}));
    EXPECT_TRUE(Payloads(got.begin() + 3, got.begin() + 7) == raws);
    for (int i : {0, 1, 54321, 99999})
        EXPECT_EQ(got[7 + i], moveMessage(i, -i)) << i;
    EXPECT_EQ(Payloads(got.begin() + 100007, got.end()),
        (Payloads{bytes({0x09, 0, 0, 0, 0x01, 0xff}), moveMessage(0, 0), moveMessage(5, 5), moveMessage(10, 10)}));

    // Features answers, one stamped 100 s ago and one mis-summed: each is
    // reported and the link goes on.
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    Bytes misSummed = KNetwork::encodeFrame(kFeatures.data(), kFeatures.size(), now);
    misSummed.back() ^= std::byte{1};
    ASSERT_TRUE(helper.writeAll(KNetwork::encodeFrame(kFeatures.data(), kFeatures.size(), now - 100)));
    ASSERT_TRUE(helper.writeAll(misSummed));
    for (const Bytes &answer : {kFeatures, kStatusTrusted, bytes({0x09, 0, 0, 0, 0x02, 0xab, 0xcd})})
        ASSERT_TRUE(helper.send(answer));
    ASSERT_TRUE(waitFor("message 9 abcd"));
    helper.hangUp();
    expectCleanEnd();
    EXPECT_EQ(app.out(),
        "listening " + socketPath() + "\nconnected\nhandshake-ok\nready\nsent 1 moves\nsent 100000 moves\nsent 3 moves\n"
        "error Frame expired or timestamp invalid\nerror Frame rejected: bad length or checksum\nfeatures 3\n"
        "accessibility-status 1 1\nmessage 9 abcd\ndisconnected\n");
    EXPECT_EQ(app.err(),
        "tessaron: -c command 2: move takes 2 arguments (X Y), got 1; skipped\n"
        "tessaron: -c command 3: unknown command \"jump\"; skipped\n"
        "tessaron: stdin line 2: unknown command \"bogus\"; skipped\n");
}

// A stale socket file is replaced; a second stand-in is refused. A helper
// that fails our check, a hang-up mid-command (counting what reached the
// socket) and `close` each end a link; the script goes on with the next helper. Neither pacing nor a wait holds
// back the helper's answers.
TEST_F(MainAppProcess, TheScriptGoesOnAcrossHelpersAndAnswersAreNeverHeldBack)
{
    // What a crash leaves: a socket file nobody listens on.
    Process crashed;
    std::string line;
    ASSERT_TRUE(crashed.start({TESSARON_MAIN_APP_EXECUTABLE}, {{"HOME", home.path()}}) && crashed.readLine(&line, kTimeout));
    crashed.signal(SIGKILL);
    ASSERT_TRUE(crashed.wait(kTimeout) && std::filesystem::exists(std::filesystem::symlink_status(socketPath())));
    ASSERT_TRUE(start({"-c", "rate 0.01; line 0 0 10 10 2; rate 0; line 0 0 1 1 1000000; move 1 2; close",
        "-c", "move 3 4; wait 600000; move 5 6"}));
    // Each refused with status 2 and one line on stderr; the one listening is
    // left alone (its probe comes and goes), and a path too long is refused
    // before anything is made.
    const std::string longHome = home / std::string(110, 'h');
    const std::string longPath = longHome + "/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock";
    const std::tuple<std::vector<std::string>, std::string, std::string> refusals[] = {
        {{"-c"}, home.path(), "tessaron: -c needs a script (see --help)\n"},
        {{"--once", "--bogus"}, home.path(), "tessaron: unknown option \"--bogus\" (see --help)\n"},
        {{"move 1 2"}, home.path(), "tessaron: unexpected argument \"move 1 2\" (see --help)\n"},
        {{}, "", "tessaron: HOME is not set; it holds the containers\n"},
        {{}, home.path(), "tessaron: another main app is listening at " + socketPath() + "\n"},
        {{}, longHome, "tessaron: socket path is " + std::to_string(longPath.size()) + " bytes, longer than a socket "
            "address holds (" + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + "): " + longPath + "\n"}};
    for (const auto &[args, value, complaint] : refusals) {
        Process refused;
        std::vector<std::string> argv = {TESSARON_MAIN_APP_EXECUTABLE};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(refused.start(argv, {{"HOME", value}}) && refused.wait(kTimeout));
        EXPECT_EQ(refused.exitCode(), 2);
        EXPECT_EQ(refused.out() + refused.err(), complaint);
    }
    EXPECT_FALSE(std::filesystem::exists(longHome));

    FakeHelper stranger("another secret"), cut, closed, waiting;
    ASSERT_TRUE(stranger.connect(socketPath()) && stranger.waitForHangUp());
    // Paced, the second move is due in 100 s: the answer comes between.
    ASSERT_TRUE(helper.connect(socketPath()) && helper.waitForPayloads(2));
    ASSERT_TRUE(helper.send(kStatusTrusted) && waitFor("accessibility-status 1 1"));
    helper.hangUp();
    ASSERT_TRUE(cut.connect(socketPath()) && cut.waitForPayloads(10));
    cut.hangUp();
    ASSERT_TRUE(closed.connect(socketPath()) && closed.waitForHangUp());
    // Waiting ten minutes: the answer comes all the same.
    ASSERT_TRUE(waiting.connect(socketPath()) && waiting.waitForPayloads(2));
    ASSERT_TRUE(waiting.send(kStatusTrusted) && waitFor("accessibility-status 1 1"));
    EXPECT_EQ(helper.received, (Payloads{kFeatures, moveMessage(0, 0)}));
    EXPECT_EQ(closed.received, (Payloads{kFeatures, moveMessage(1, 2)}));
    EXPECT_EQ(waiting.received, (Payloads{kFeatures, moveMessage(3, 4)}));
    expectCleanEnd(SIGINT);

    // Of the million moves, what reached the socket is counted: at least 10, not all.
    const std::string link = "connected\nhandshake-ok\nready\n";
    EXPECT_TRUE(std::regex_match(app.out(), std::regex("listening [^\n]+\nconnected\ndisconnected\nconnected\n"
        "error Handshake failed: secret mismatch\ndisconnected\n" + link + "accessibility-status 1 1\nsent 1 moves\n"
        "disconnected\n" + link + "sent [1-9][0-9]{1,5} moves\ndisconnected\n" + link + "sent 1 moves\ndisconnected\n"
        + link + "sent 1 moves\naccessibility-status 1 1\n"))) << app.out();
}

// The bundle names the program beside it, which starts the installed helper.
// With --wrong-secret the helper's check of our answer fails; `exit` ends the
// program with status 0 once the link is closed.
TEST_F(MainAppProcess, LaunchesTheInstalledHelperDetachedAndCanFailItsHandshake)
{
    const std::filesystem::path executable = TESSARON_MAIN_APP_EXECUTABLE, contents = executable.parent_path().parent_path();
    EXPECT_EQ(executable.lexically_relative(contents.parent_path().parent_path()), "Tessaron.app/Contents/MacOS/tessaron");
    std::ifstream plist(contents / "Info.plist");
    const std::string info((std::istreambuf_iterator<char>(plist)), std::istreambuf_iterator<char>());
    for (const std::string &entry : std::vector<std::string>{"CFBundleName</key>\n\t<string>Tessaron<",
             "CFBundleDisplayName</key>\n\t<string>Tessaron<", "CFBundleIdentifier</key>\n\t<string>" + kIdentifier,
             "CFBundleExecutable</key>\n\t<string>tessaron<", "CFBundleShortVersionString<", "CFBundleVersion<"})
        EXPECT_NE(info.find("<key>" + entry), std::string::npos) << entry;

    // Records its arguments, whether stdin is empty and whether it leads its
    // own session; prints a word that must not reach our events.
    const std::string macos = supportPath() + "/Tessaron Helper.app/Contents/MacOS";
    std::filesystem::create_directories(macos);
    std::ofstream(macos + "/tessaron-helper")
        << "#!/bin/sh\nread line; sid=$(cut -d' ' -f6 /proc/$$/stat)\n"
           "echo \"args=$# stdin=${line:-empty} leader=$([ \"$sid\" = $$ ] && echo yes)\" > \"$HOME/launched\"\n"
           "echo noise\n";
    std::filesystem::permissions(macos + "/tessaron-helper", std::filesystem::perms::owner_all);
    std::string line, record;
    ASSERT_TRUE(start({"--launch-helper", "--wrong-secret", "-c", "move 1 2; exit"}) && app.readLine(&line, kTimeout));
    EXPECT_EQ(line.rfind("helper-launched ", 0), 0u);
    ASSERT_TRUE(waitFor("helper-exited 0"));
    std::getline(std::ifstream(home / "launched"), record);
    EXPECT_EQ(record, "args=0 stdin=empty leader=yes");
    ASSERT_TRUE(helper.connect(socketPath()) && helper.waitForHangUp());
    EXPECT_EQ(helper.errors, (std::vector<std::string>{"Handshake failed: secret mismatch"}));
    EXPECT_TRUE(helper.received.empty());
    expectCleanEnd();
    EXPECT_EQ(app.out().find("noise"), std::string::npos);
    EXPECT_NE(app.err().find("noise"), std::string::npos);
}

} // namespace
