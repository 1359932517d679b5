#include "mainapp/main_app.h"

#include "mainapp/command_script.h"
#include "mainapp/frame_layer.h"
#include "mainapp/messages.h"
#include "network/link_config.h"
#include "network/protocol_layer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace StandIn {

namespace {

using Bytes = std::vector<std::byte>;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;
// Frames waiting for the socket; a helper that stops reading cannot make
// us grow without end.
constexpr std::size_t kMaxOutgoing = 4 * 1024 * 1024;
// Moves are generated only while less than this is waiting, so "as fast as
// the socket takes them" never means "as fast as memory fills".
constexpr std::size_t kMoveWatermark = 64 * 1024;
// stdin is not read while this many commands wait for a helper.
constexpr std::size_t kMaxQueued = 1024;
// `close` and `exit` let queued frames out first, but not forever.
constexpr auto kDrainLimit = std::chrono::seconds(5);
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
constexpr std::size_t kMoveFrameSize = kMovePointerSize + KNetwork::kFrameOverhead;
constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGCHLD, SIGPIPE};

// Written only by the signal handler; the pipe wakes the loop to look.
volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t childExited = 0;
int wakeWriteFd = -1;

extern "C" void onSignal(int signo)
{
    const int saved = errno;
    if (signo == SIGCHLD)
        childExited = 1;
    else
        stopRequested = 1;
    const char byte = 0;
    // A full pipe already holds a wake-up; the flags say what for.
    ssize_t ignored = ::write(wakeWriteFd, &byte, 1);
    (void)ignored;
    errno = saved;
}

void emit(const std::string &line)
{
    const std::string text = line + "\n";
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&out, 1, 1000);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Nobody reads our events any more; the link itself goes on.
            return;
        }
    }
}

void complain(const std::string &text)
{
    std::fprintf(stderr, "tessaron: %s\n", text.c_str());
}

std::string systemError(const std::string &what, int error)
{
    return what + ": " + std::strerror(error);
}

// mkdir -p; only the folders it makes get mode 0700.
bool makeFolders(const std::string &path, std::string *error)
{
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0700) == 0)
            continue;
        const int failure = errno;
        struct stat st {};
        if (failure == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        *error = failure == EEXIST ? prefix + " exists and is not a folder"
                                   : systemError("cannot create folder " + prefix, failure);
        return false;
    }
    return true;
}

sockaddr_un socketAddress(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

int connectRetrying(int fd, const sockaddr_un &address)
{
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (r < 0 && errno == EINTR);
    return r;
}

std::chrono::milliseconds untilThen(Clock::time_point then, Clock::time_point now)
{
    if (then <= now)
        return std::chrono::milliseconds(0);
    // Rounded up: waking a little early would only spin once more.
    return std::chrono::ceil<std::chrono::milliseconds>(then - now);
}

} // namespace

struct MainApp::Impl {
    struct QueuedCommand {
        Command command;
        std::string origin; // names it in complaints: "-c command 2", "stdin line 7"
    };

    struct Connection {
        int fd = -1;
        std::optional<FrameLayer> frames;
        Bytes in;
        Bytes out;
        std::size_t outOffset = 0;
        std::uint64_t queuedBytes = 0;
        std::uint64_t writtenBytes = 0;
        bool ready = false;    // the helper is verified and the automatic Features queued
        bool broken = false;   // closed at the next turn of the loop
        bool closing = false;  // closed once the queued frames are out
        Clock::time_point closeBy;

        std::size_t pending() const { return out.size() - outOffset; }
    };

    // The move command being sent.
    struct ActiveMoves {
        Command command;
        std::uint32_t total = 0;
        std::uint32_t next = 0;
        std::uint64_t firstByte = 0; // queuedBytes before its first frame
        std::uint64_t endByte = 0;   // queuedBytes after its last frame so far
    };

    explicit Impl(MainAppConfig config) : config(std::move(config)) {}

    int setUp();
    int serve();
    void tearDown();

    void installSignals();
    bool listenOnSocket(std::string *error);
    void launchHelper();
    void reapChildren();

    void acceptHelper(Clock::time_point now);
    bool queueFrame(const Bytes &frame);
    bool sendFrame(const Bytes &payload);
    void onVerified(std::uint32_t now);
    void readLink();
    void flushOutput();
    void settleConnection(Clock::time_point now);
    void closeConnection();
    void beginClosing(Clock::time_point now);

    void readStdin();
    void enqueue(std::string_view text, std::string origin);
    void advanceScript(Clock::time_point now);
    void startCommand(QueuedCommand next, Clock::time_point now);
    bool pumpMoves(Clock::time_point now);
    void reportMovesSent(std::uint32_t count);
    void sendPayload(const Bytes &payload, const std::string &origin);
    bool linkReady() const { return conn && conn->ready && !conn->closing && !conn->broken; }
    Clock::duration movePeriod() const;
    std::optional<Clock::time_point> nextWake(Clock::time_point now) const;

    MainAppConfig config;
    std::string containerSupport;
    std::string socketPath;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    bool ownsSocket = false;
    struct sigaction previousActions[std::size(kHandledSignals)] {};
    bool signalsInstalled = false;

    std::optional<Connection> conn;
    Clock::time_point acceptPausedUntil;

    std::deque<QueuedCommand> queue;
    std::optional<ActiveMoves> active;
    std::optional<Clock::time_point> waitUntil;
    double rate = 0;
    std::optional<Clock::time_point> lastMoveDue;

    bool stdinOpen = false;
    LineReader stdinLines;

    pid_t helperPid = -1;
    bool exitRequested = false;
    bool finished = false;
};

void MainApp::Impl::installSignals()
{
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        if (kHandledSignals[i] == SIGPIPE) {
            // A closed stdout must give EPIPE, not end the link.
            action.sa_handler = SIG_IGN;
        } else {
            action.sa_handler = onSignal;
            action.sa_flags = SA_RESTART | (kHandledSignals[i] == SIGCHLD ? SA_NOCLDSTOP : 0);
        }
        ::sigaction(kHandledSignals[i], &action, &previousActions[i]);
    }
    signalsInstalled = true;
}

int MainApp::Impl::setUp()
{
    const char *home = std::getenv("HOME");
    if (!home || !*home) {
        complain("HOME is not set; it holds the containers");
        return 2;
    }
    if (home[0] != '/') {
        complain("HOME must be an absolute path, not \"" + std::string(home) + "\"");
        return 2;
    }
    // Checked before anything is made: a path that does not fit is refused,
    // never cut to one that names another file.
    socketPath = KNetwork::linkSocketPath(config.name);
    if (socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        complain("socket path is " + std::to_string(socketPath.size()) + " bytes, longer than a socket address holds ("
            + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + "): " + socketPath);
        return 2;
    }

    containerSupport = std::string(home) + "/Library/Containers/" + config.identifier + "/Data/Library/Application Support";
    std::string error;
    if (!makeFolders(containerSupport, &error) || !makeFolders(KNetwork::groupContainerPath(KNetwork::kAppGroupIdentifier), &error)) {
        complain(error);
        return 2;
    }

    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        complain(systemError("cannot make the signal pipe", errno));
        return 2;
    }
    wakeWriteFd = wakeFds[1];
    // Before the socket exists, so that a SIGTERM from now on still removes it.
    installSignals();

    if (!listenOnSocket(&error)) {
        complain(error);
        return 2;
    }
    emit("listening " + socketPath);

    if (config.options.launchHelper)
        launchHelper();

    for (const std::string &script : config.options.scripts) {
        std::vector<std::string_view> pieces = splitScript(script);
        for (std::size_t i = 0; i < pieces.size(); ++i)
            enqueue(pieces[i], "-c command " + std::to_string(i + 1));
    }
    stdinOpen = ::isatty(STDIN_FILENO) == 0 && errno != EBADF;
    return 0;
}

bool MainApp::Impl::listenOnSocket(std::string *error)
{
    const sockaddr_un address = socketAddress(socketPath);
    struct stat st {};
    if (::lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = socketPath + " exists and is not a socket";
            return false;
        }
        // A socket someone still listens on is not stale: leave it alone.
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        bool live = probe >= 0 && (connectRetrying(probe, address) == 0 || errno == EAGAIN || errno == EINPROGRESS);
        if (probe >= 0)
            ::close(probe);
        if (live) {
            *error = "another main app is listening at " + socketPath;
            return false;
        }
        if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT) {
            *error = systemError("cannot remove the stale socket " + socketPath, errno);
            return false;
        }
    }

    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd < 0) {
        *error = systemError("cannot make a socket", errno);
        return false;
    }
    if (::bind(listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        *error = systemError("cannot bind " + socketPath, errno);
        return false;
    }
    ownsSocket = ::stat(socketPath.c_str(), &st) == 0;
    socketDevice = st.st_dev;
    socketInode = st.st_ino;
    if (::listen(listenFd, 8) != 0) {
        *error = systemError("cannot listen on " + socketPath, errno);
        return false;
    }
    return true;
}

void MainApp::Impl::launchHelper()
{
    const std::string path = containerSupport + "/" + config.helperExecutable;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Our stdout carries events; whatever the helper prints goes to stderr.
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signo : kHandledSignals)
        sigaddset(&defaults, signo);
    sigset_t mask;
    sigemptyset(&mask);
    // Ignored signals survive exec: the helper gets SIGPIPE back, in its own session.
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes,
        static_cast<short>(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

    std::string program = path;
    char *argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        complain(systemError("cannot start the helper " + path, rc));
        return;
    }
    helperPid = pid;
    emit("helper-launched " + std::to_string(pid));
}

void MainApp::Impl::reapChildren()
{
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid != helperPid)
            continue;
        helperPid = -1;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        emit("helper-exited " + std::to_string(code));
    }
}

void MainApp::Impl::acceptHelper(Clock::time_point now)
{
    int fd;
    do {
        fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
            return;
        // Out of descriptors, say: pause rather than spin on a listening
        // socket that stays readable.
        complain(systemError("cannot accept a connection", errno));
        acceptPausedUntil = now + kAcceptBackoff;
        return;
    }

    conn.emplace();
    conn->fd = fd;
    const std::string secret = KNetwork::linkSecret(config.identifier);
    // With --wrong-secret our answer carries another secret's value, so the
    // helper's check fails while ours still passes.
    conn->frames.emplace(secret, config.options.wrongSecret ? secret + "~" : secret);
    emit("connected");
}

bool MainApp::Impl::queueFrame(const Bytes &frame)
{
    if (!conn || conn->pending() + frame.size() > kMaxOutgoing)
        return false;
    if (conn->outOffset == conn->out.size()) {
        conn->out.clear();
        conn->outOffset = 0;
    }
    conn->out.insert(conn->out.end(), frame.begin(), frame.end());
    conn->queuedBytes += frame.size();
    return true;
}

bool MainApp::Impl::sendFrame(const Bytes &payload)
{
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    const Bytes frame = KNetwork::encodeFrame(payload.data(), payload.size(), now);
    return !frame.empty() && queueFrame(frame);
}

void MainApp::Impl::onVerified(std::uint32_t now)
{
    // The answer goes out before anything else.
    queueFrame(conn->frames->answer(now));
    emit("handshake-ok");
    if (config.options.sendFeatures)
        sendPayload(featuresMessage({kPointerMovesFeature}), "the automatic Features");
    conn->ready = true;
    emit("ready");
}

void MainApp::Impl::sendPayload(const Bytes &payload, const std::string &origin)
{
    if (!sendFrame(payload))
        complain(origin + ": not sent, " + std::to_string(conn->pending()) + " bytes are still waiting for the helper");
}

void MainApp::Impl::readLink()
{
    const std::size_t kept = conn->in.size();
    conn->in.resize(kept + kReadChunk);
    ssize_t n;
    do {
        n = ::recv(conn->fd, conn->in.data() + kept, kReadChunk, 0);
    } while (n < 0 && errno == EINTR);
    const int failure = errno;
    conn->in.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && (failure == EAGAIN || failure == EWOULDBLOCK))
        return;
    if (n <= 0) {
        conn->broken = true;
        return;
    }
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    std::size_t used = 0;
    while (!conn->broken) {
        const FrameLayer::Read frame = conn->frames->read(std::span(conn->in).subspan(used), now);
        used += frame.consumed;
        using Event = FrameLayer::Event;
        switch (frame.event) {
        case Event::Incomplete:
            conn->in.erase(conn->in.begin(), conn->in.begin() + static_cast<std::ptrdiff_t>(used));
            return;
        case Event::Verified:
            onVerified(now);
            break;
        case Event::Data:
            for (const std::string &line : describeMessage(frame.payload))
                emit(line);
            break;
        case Event::Skipped:
            break;
        case Event::Expired:
            emit("error Frame expired or timestamp invalid");
            break;
        case Event::Rejected:
            emit("error Frame rejected: bad length or checksum");
            break;
        case Event::Mismatch:
            emit("error Handshake failed: secret mismatch");
            // The helper cannot be trusted with anything else.
            conn->broken = true;
            break;
        }
    }
}

void MainApp::Impl::flushOutput()
{
    if (!conn || conn->broken)
        return;
    while (conn->pending() > 0) {
        ssize_t n;
        do {
            n = ::send(conn->fd, conn->out.data() + conn->outOffset, conn->pending(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break; // the rest goes when the socket says it is writable
        if (n < 0) {
            conn->broken = true;
            return;
        }
        conn->outOffset += static_cast<std::size_t>(n);
        conn->writtenBytes += static_cast<std::uint64_t>(n);
    }
    if (conn->outOffset == conn->out.size()) {
        conn->out.clear();
        conn->outOffset = 0;
        if (conn->out.capacity() > 2 * kMoveWatermark)
            Bytes().swap(conn->out);
    } else if (conn->outOffset > conn->out.size() / 2) {
        conn->out.erase(conn->out.begin(), conn->out.begin() + static_cast<std::ptrdiff_t>(conn->outOffset));
        conn->outOffset = 0;
    }
}

void MainApp::Impl::beginClosing(Clock::time_point now)
{
    conn->closing = true;
    conn->closeBy = now + kDrainLimit;
}

void MainApp::Impl::settleConnection(Clock::time_point now)
{
    if (conn && (conn->broken || (conn->closing && (conn->pending() == 0 || now >= conn->closeBy))))
        closeConnection();
}

void MainApp::Impl::closeConnection()
{
    if (active) {
        // What reached the socket counts; the rest went down with the link.
        const std::uint64_t written = conn->writtenBytes > active->firstByte ? conn->writtenBytes - active->firstByte : 0;
        reportMovesSent(static_cast<std::uint32_t>(std::min<std::uint64_t>(written / kMoveFrameSize, active->next)));
        active.reset();
    }
    ::close(conn->fd);
    conn.reset();
    emit("disconnected");
    if (exitRequested || config.options.once)
        finished = true;
}

void MainApp::Impl::reportMovesSent(std::uint32_t count)
{
    emit("sent " + std::to_string(count) + " moves");
}

void MainApp::Impl::readStdin()
{
    char buffer[kReadChunk];
    ssize_t n;
    do {
        n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    std::vector<LineReader::Line> lines;
    if (n > 0) {
        stdinLines.feed(buffer, static_cast<std::size_t>(n), &lines);
    } else {
        if (n < 0)
            complain(systemError("cannot read stdin", errno));
        stdinLines.finish(&lines);
        stdinOpen = false;
    }
    for (LineReader::Line &line : lines) {
        const std::string origin = "stdin line " + std::to_string(line.number);
        if (line.tooLong)
            complain(origin + ": longer than " + std::to_string(kMaxLineLength) + " bytes, skipped");
        else
            enqueue(line.text, origin);
    }
}

void MainApp::Impl::enqueue(std::string_view text, std::string origin)
{
    ParseResult parsed = parseCommand(text);
    if (parsed.status == ParseResult::Status::Error)
        complain(origin + ": " + parsed.error + "; skipped");
    else if (parsed.status == ParseResult::Status::Command)
        queue.push_back({std::move(parsed.command), std::move(origin)});
}

Clock::duration MainApp::Impl::movePeriod() const
{
    // Capped at a day so the conversion cannot overflow for a tiny rate.
    const double seconds = std::min(1.0 / rate, 86'400.0);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void MainApp::Impl::advanceScript(Clock::time_point now)
{
    while (!exitRequested && !finished) {
        if (active) {
            if (!linkReady() || !pumpMoves(now))
                return;
            continue;
        }
        if (waitUntil) {
            if (now < *waitUntil)
                return;
            waitUntil.reset();
        }
        if (queue.empty() || (needsLink(queue.front().command) && !linkReady()))
            return;
        QueuedCommand next = std::move(queue.front());
        queue.pop_front();
        startCommand(std::move(next), now);
    }
}

void MainApp::Impl::startCommand(QueuedCommand next, Clock::time_point now)
{
    const Command &command = next.command;
    if (auto *rateCommand = std::get_if<RateCommand>(&command)) {
        rate = rateCommand->hz;
    } else if (auto *wait = std::get_if<WaitCommand>(&command)) {
        waitUntil = now + std::chrono::milliseconds(wait->milliseconds);
    } else if (std::holds_alternative<ExitCommand>(command)) {
        exitRequested = true;
        if (conn)
            beginClosing(now);
        else
            finished = true;
    } else if (std::holds_alternative<CloseCommand>(command)) {
        beginClosing(now);
    } else if (auto *features = std::get_if<FeaturesCommand>(&command)) {
        sendPayload(featuresMessage(features->codes), next.origin);
    } else if (auto *raw = std::get_if<RawCommand>(&command)) {
        sendPayload(raw->payload, next.origin);
    } else {
        active = ActiveMoves{command, moveCount(command), 0, conn->queuedBytes, conn->queuedBytes};
    }
}

bool MainApp::Impl::pumpMoves(Clock::time_point now)
{
    while (active->next < active->total) {
        if (conn->pending() >= kMoveWatermark)
            return false;
        Clock::time_point due = now;
        if (rate > 0 && lastMoveDue) {
            const Clock::duration period = movePeriod();
            if (*lastMoveDue + period > now)
                return false;
            // On time or a little late: keep the beat. Later than a whole
            // period (a wait, a stalled socket): start a new one, no burst.
            if (now - (*lastMoveDue + period) < period)
                due = *lastMoveDue + period;
        }
        const Bytes message = movePointerMessage(movePoint(active->command, active->next));
        if (!sendFrame(message)) {
            complain("move not sent: " + std::to_string(conn->pending()) + " bytes are still waiting for the helper");
            conn->broken = true;
            return false;
        }
        lastMoveDue = due;
        ++active->next;
        active->endByte = conn->queuedBytes;
    }
    // Done once the last frame has reached the socket.
    if (conn->writtenBytes < active->endByte)
        return false;
    reportMovesSent(active->total);
    active.reset();
    return true;
}

std::optional<Clock::time_point> MainApp::Impl::nextWake(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake;
    auto earliest = [&wake](Clock::time_point t) {
        if (!wake || t < *wake)
            wake = t;
    };
    if (active && linkReady() && active->next < active->total && conn->pending() < kMoveWatermark)
        earliest(rate > 0 && lastMoveDue ? *lastMoveDue + movePeriod() : now);
    if (!active && waitUntil)
        earliest(*waitUntil);
    if (conn && conn->closing)
        earliest(conn->closeBy);
    if (!conn && acceptPausedUntil > now)
        earliest(acceptPausedUntil);
    return wake;
}

int MainApp::Impl::serve()
{
    while (!finished) {
        Clock::time_point now = Clock::now();
        advanceScript(now);
        flushOutput();
        // Once more: written frames may have completed a command.
        advanceScript(now);
        settleConnection(now);
        if (finished)
            break;

        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {wakeFds[0], POLLIN, 0};
        int listenIndex = -1, linkIndex = -1, stdinIndex = -1;
        if (!conn && !exitRequested && now >= acceptPausedUntil) {
            listenIndex = static_cast<int>(count);
            fds[count++] = {listenFd, POLLIN, 0};
        }
        if (conn) {
            linkIndex = static_cast<int>(count);
            fds[count++] = {conn->fd, static_cast<short>(POLLIN | (conn->pending() > 0 ? POLLOUT : 0)), 0};
        }
        if (stdinOpen && !exitRequested && queue.size() < kMaxQueued) {
            stdinIndex = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        int timeout = -1;
        if (auto wake = nextWake(now))
            timeout = static_cast<int>(std::min<std::int64_t>(untilThen(*wake, now).count(), 3'600'000));

        if (::poll(fds, count, timeout) < 0) {
            if (errno == EINTR)
                continue;
            complain(systemError("poll failed", errno));
            return 1;
        }
        now = Clock::now();

        if (fds[0].revents) {
            char drain[64];
            while (::read(wakeFds[0], drain, sizeof drain) > 0) {
            }
        }
        if (stopRequested)
            return 0;
        if (childExited) {
            childExited = 0;
            reapChildren();
        }
        if (listenIndex >= 0 && fds[listenIndex].revents)
            acceptHelper(now);
        if (linkIndex >= 0 && (fds[linkIndex].revents & (POLLIN | POLLHUP | POLLERR)))
            readLink();
        if (stdinIndex >= 0 && fds[stdinIndex].revents) {
            if (fds[stdinIndex].revents & POLLNVAL)
                stdinOpen = false;
            else
                readStdin();
        }
    }
    return 0;
}

void MainApp::Impl::tearDown()
{
    if (conn) {
        ::close(conn->fd);
        conn.reset();
    }
    if (listenFd >= 0) {
        ::close(listenFd);
        listenFd = -1;
    }
    // Only our own socket: another instance may have taken the name since.
    struct stat st {};
    if (ownsSocket && ::stat(socketPath.c_str(), &st) == 0 && st.st_dev == socketDevice && st.st_ino == socketInode)
        ::unlink(socketPath.c_str());
    ownsSocket = false;
    if (signalsInstalled) {
        for (std::size_t i = 0; i < std::size(kHandledSignals); ++i)
            ::sigaction(kHandledSignals[i], &previousActions[i], nullptr);
        signalsInstalled = false;
    }
    for (int &fd : wakeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    wakeWriteFd = -1;
}

MainApp::MainApp(MainAppConfig config)
    : impl(std::make_shared<Impl>(std::move(config)))
{
}

MainApp::~MainApp()
{
    impl->tearDown();
}

int MainApp::run()
{
    int status = impl->setUp();
    if (status == 0)
        status = impl->serve();
    impl->tearDown();
    return status;
}

} // namespace StandIn
