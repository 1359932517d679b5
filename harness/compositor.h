#pragma once

#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Harness {

class Process;

// sway on wlroots' headless backend, stopped by its own PID. It refuses to
// run as root, so as root it runs as "nobody" (65534). It dies
// with the thread that started it, so a crashed test leaves none behind.
class HeadlessCompositor {
public:
    // Mode in pixels, position in logical pixels.
    struct OutputLayout {
        int width;
        int height;
        int x;
        int y;
        double scale;
        bool operator==(const OutputLayout &) const = default;
    };

    HeadlessCompositor() = default;
    ~HeadlessCompositor();
    HeadlessCompositor(const HeadlessCompositor &) = delete;
    HeadlessCompositor &operator=(const HeadlessCompositor &) = delete;

    // Empty when the compositor is installed, else why a test should skip.
    static std::string missing();
    // Sway names its outputs HEADLESS-1, -2... in this order and is ready
    // once they all show the geometry asked for. False when not ready within
    // 10 s; log() says why.
    bool start(std::vector<OutputLayout> outputs);
    void stop();

    // The compositor's stderr and our notes.
    std::string log() const;
    // Absolute; clients take it as WAYLAND_DISPLAY as is.
    std::string socketPath() const { return socket; }
    pid_t pid() const;
    // argv run as the compositor's user (unchanged unless we are root).
    std::vector<std::string> asUser(std::vector<std::string> argv) const;
    unsigned uid() const;
    // For Process::start of a client run through asUser(): the socket, its
    // own runtime folder, and no DISPLAY, WAYLAND_SOCKET, SWAYSOCK or
    // QT_QPA_PLATFORM.
    std::map<std::string, std::string> clientEnvironment() const;
    // Runs swaymsg with args as the compositor's user; its stdout.
    bool swaymsg(const std::vector<std::string> &args, std::string *out) const;

private:
    bool outputsMatch(const std::vector<OutputLayout> &outputs);

    std::unique_ptr<Process> process;
    std::string dir;
    std::string socket;
    std::string swaySocket;
    std::string notes;
    std::string savedLog;
};

class Sandbox;

// A headless Mutter on a private session bus, with PipeWire beside it (its
// screen casts need one); each stopped by its own PID.
class HeadlessMutter {
public:
    static std::string missing();
    HeadlessMutter();
    ~HeadlessMutter();
    HeadlessMutter(const HeadlessMutter &) = delete;
    HeadlessMutter &operator=(const HeadlessMutter &) = delete;

    // One virtual monitor per size ("1280x1024"), left to right, the first
    // primary. Ready once its remote desktop is on the bus.
    bool start(const std::vector<std::string> &monitors);
    void stop();
    std::string socketPath() const;
    std::string busAddress() const { return address; }
    // Another bus of the same kind, where Mutter is not.
    std::string emptyBusAddress() const { return emptyAddress; }
    std::string log() const;

private:
    std::string dir;
    std::string address, emptyAddress;
    std::vector<std::unique_ptr<Process>> processes;
};

// A headless KWin inside the helper's sandbox: KWin grants its fake input by
// the desktop entries and the program paths it sees, so it must see the
// sandbox's. It runs a copy of the binary (Debian's carries a file
// capability that a user namespace refuses) and logs to home/kwin.log.
class KWinInSandbox {
public:
    struct Outputs {
        int width, height, count;
        double scale;
    };
    static std::string missing();
    KWinInSandbox(const Sandbox &sandbox, Outputs outputs);

    // Runs in the sandbox: KWin, then, once release() was called, inside
    // with WAYLAND_DISPLAY naming KWin.
    std::vector<std::string> command(const std::vector<std::string> &inside) const;
    // As the host sees it; ready when a client connects.
    std::string socketPath() const;
    bool waitUntilReady() const;
    void release() const;
    std::string log() const;

private:
    const Sandbox &sandbox;
    Outputs outputs;
};

} // namespace Harness
