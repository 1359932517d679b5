#include "harness/compositor.h"

#include "harness/process.h"
#include "harness/sandbox.h"
#include "harness/temp_dir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>

namespace fs = std::filesystem;

namespace Harness {

namespace {

constexpr unsigned nobody = 65534;

bool root()
{
    return ::getuid() == 0;
}

// A folder only the compositor's user may enter; root hands it over.
bool ownedFolder(const std::string &path)
{
    return (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) &&
           (!root() || ::chown(path.c_str(), nobody, nobody) == 0);
}

bool answers(const std::string &socket)
{
    wl_display *display = wl_display_connect(socket.c_str());
    const bool answered = display && wl_display_roundtrip(display) >= 0;
    if (display)
        wl_display_disconnect(display);
    return answered;
}

} // namespace

HeadlessCompositor::~HeadlessCompositor()
{
    stop();
}

std::string HeadlessCompositor::missing()
{
    return ::access("/usr/bin/sway", X_OK) == 0 ? "" : "/usr/bin/sway is missing: install the Debian package sway";
}

pid_t HeadlessCompositor::pid() const
{
    return process ? process->pid() : -1;
}

unsigned HeadlessCompositor::uid() const
{
    return root() ? nobody : ::getuid();
}

std::vector<std::string> HeadlessCompositor::asUser(std::vector<std::string> argv) const
{
    if (root())
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

bool HeadlessCompositor::start(std::vector<OutputLayout> outputs)
{
    stop();
    savedLog.clear();
    notes.clear();
    if (outputs.empty()) {
        notes = "sway needs at least one output\n";
        return false;
    }
    char name[] = "/tmp/tessaron-wayland-XXXXXX";
    if (!::mkdtemp(name))
        return false;
    dir = name;
    const std::string runtime = dir + "/run";
    if (!ownedFolder(dir) || !ownedFolder(runtime) || !ownedFolder(dir + "/client-run")) {
        notes = "cannot prepare " + dir + "\n";
        return false;
    }
    // No Xwayland and no swaynag: either would be a client of its own.
    std::string config = "xwayland disable\nswaynag_command -\n";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto &o = outputs[i];
        config += "output HEADLESS-" + std::to_string(i + 1) + " resolution " + std::to_string(o.width) + "x" +
                  std::to_string(o.height) + " position " + std::to_string(o.x) + " " + std::to_string(o.y) +
                  " scale " + std::to_string(o.scale) + "\n";
    }
    writeFile(dir + "/config", config);
    // Nothing of the test's own environment reaches the compositor, and its
    // output goes to a file that nobody has to keep reading.
    std::vector<std::string> argv = asUser({"/usr/bin/env", "-i", "WLR_BACKENDS=headless",
        "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "WLR_HEADLESS_OUTPUTS=" + std::to_string(outputs.size()),
        "HOME=" + dir, "XDG_RUNTIME_DIR=" + runtime, "PATH=/usr/bin:/bin", "/bin/sh", "-c",
        "cd \"$HOME\" && exec /usr/bin/sway -c config >log 2>&1"});
    // Dies with us even if the test crashes (after setpriv changed the user).
    if (root())
        argv.insert(argv.begin() + 1, "--pdeathsig=KILL");
    else
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig=KILL"});
    process = std::make_unique<Process>();
    if (!process->start(argv))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Sway skips wayland-0; its IPC socket is named after its user and PID.
    socket = runtime + "/wayland-1";
    swaySocket = runtime + "/sway-ipc." + std::to_string(uid()) + "." + std::to_string(process->pid()) + ".sock";
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline && !(ended = process->wait(std::chrono::milliseconds(20))))
        if (fs::exists(socket) && answers(socket) && outputsMatch(outputs))
            return true;
    notes += ended ? "the compositor ended\n" : "not ready within 10 s\n";
    stop();
    return false;
}

bool HeadlessCompositor::outputsMatch(const std::vector<OutputLayout> &outputs)
{
    std::string json;
    if (!swaymsg({"-t", "get_outputs"}, &json))
        return false;
    const QJsonArray seen = QJsonDocument::fromJson(QByteArray::fromStdString(json)).array();
    std::size_t matched = 0;
    notes = "outputs seen:";
    for (const auto &value : seen) {
        const auto output = value.toObject(), rect = output["rect"].toObject();
        const std::string name = output["name"].toString().toStdString();
        const int x = rect["x"].toInt(), y = rect["y"].toInt(), w = rect["width"].toInt(), h = rect["height"].toInt();
        notes += " " + name + " " + std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(w) + "x" +
                 std::to_string(h);
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            const auto &o = outputs[i];
            // The logical size is the mode over the scale, rounded either way.
            matched += name == "HEADLESS-" + std::to_string(i + 1) && x == o.x && y == o.y &&
                       std::abs(w - o.width / o.scale) < 1 && std::abs(h - o.height / o.scale) < 1;
        }
    }
    notes += "\n";
    return matched == outputs.size() && static_cast<std::size_t>(seen.size()) == outputs.size();
}

void HeadlessCompositor::stop()
{
    if (process && process->pid() > 0) {
        process->signal(SIGTERM);
        if (!process->wait(std::chrono::seconds(5)))
            process->signal(SIGKILL);
    }
    process.reset();
    if (!dir.empty()) {
        savedLog = readFile(dir + "/log");
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    dir.clear(), socket.clear(), swaySocket.clear();
}

std::string HeadlessCompositor::log() const
{
    return (dir.empty() ? savedLog : readFile(dir + "/log")) + notes;
}

std::map<std::string, std::string> HeadlessCompositor::clientEnvironment() const
{
    return {{"WAYLAND_DISPLAY", socket}, {"XDG_RUNTIME_DIR", dir + "/client-run"}, {"DISPLAY", ""},
            {"WAYLAND_SOCKET", ""}, {"QT_QPA_PLATFORM", ""}, {"SWAYSOCK", ""}};
}

bool HeadlessCompositor::swaymsg(const std::vector<std::string> &args, std::string *out) const
{
    std::vector<std::string> argv = {"/usr/bin/swaymsg"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process;
    if (swaySocket.empty() || !process.start(asUser(argv), {{"SWAYSOCK", swaySocket}}) ||
        !process.wait(std::chrono::seconds(5)))
        return false;
    if (out)
        *out = process.out();
    return process.exitCode() == 0;
}

std::string KWinInSandbox::missing()
{
    return ::access("/usr/bin/kwin_wayland", X_OK) == 0 ? "" : "kwin_wayland is missing: install the Debian package kwin-wayland";
}

KWinInSandbox::KWinInSandbox(const Sandbox &sandbox, Outputs outputs)
    : sandbox(sandbox), outputs(outputs)
{
    std::error_code ignored;
    fs::copy_file("/usr/bin/kwin_wayland", sandbox.home() + "/kwin_wayland", ignored);
}

std::vector<std::string> KWinInSandbox::command(const std::vector<std::string> &inside) const
{
    std::vector<std::string> argv = {"/bin/sh", "-c",
        "QT_QPA_PLATFORM=offscreen \"$HOME/kwin_wayland\" --virtual --socket wayland-kwin --width \"$1\" --height \"$2\""
        " --output-count \"$3\" --scale \"$4\" >\"$HOME/kwin.log\" 2>&1 &\n"
        "shift 4\n"
        "while [ ! -e \"$HOME/go\" ]; do sleep 0.05; done\n"
        "WAYLAND_DISPLAY=wayland-kwin exec \"$@\"",
        "sh", std::to_string(outputs.width), std::to_string(outputs.height), std::to_string(outputs.count),
        std::to_string(outputs.scale)};
    argv.insert(argv.end(), inside.begin(), inside.end());
    return sandbox.command(argv);
}

std::string KWinInSandbox::socketPath() const
{
    return sandbox.home() + "/.runtime/wayland-kwin";
}

bool KWinInSandbox::waitUntilReady() const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(socketPath()) && answers(socketPath()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void KWinInSandbox::release() const
{
    std::ofstream(sandbox.home() + "/go");
}

std::string KWinInSandbox::log() const
{
    return readFile(sandbox.home() + "/kwin.log");
}

std::string HeadlessMutter::missing()
{
    for (const char *binary :
        {"/usr/bin/mutter", "/usr/bin/pipewire", "/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/gdbus"})
        if (::access(binary, X_OK) != 0)
            return std::string(binary)
                + " is missing: install the Debian packages mutter, pipewire, dbus and libglib2.0-bin";
    return {};
}

HeadlessMutter::HeadlessMutter()
{
    char name[] = "/tmp/tessaron-mutter-XXXXXX";
    if (::mkdtemp(name)) {
        dir = name;
        fs::create_directories(dir + "/run");
        fs::permissions(dir + "/run", fs::perms::owner_all, fs::perm_options::replace);
    }
}

HeadlessMutter::~HeadlessMutter()
{
    stop();
    std::error_code ignored;
    if (!dir.empty())
        fs::remove_all(dir, ignored);
}

std::string HeadlessMutter::socketPath() const
{
    return dir + "/run/wayland-mutter";
}

bool HeadlessMutter::start(const std::vector<std::string> &monitors)
{
    const auto startBus = [&](const std::string &socket, std::string *busAddress) {
        auto bus = std::make_unique<Process>();
        std::string line;
        // A client in a user namespace names itself by its uid in there,
        // which the bus, outside, would not take for its peer's.
        writeFile(socket + ".conf",
            "<busconfig><type>session</type><listen>unix:path=" + socket + "</listen>"
            "<auth>EXTERNAL</auth><auth>ANONYMOUS</auth><allow_anonymous/>"
            "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        if (!bus->start({"/usr/bin/dbus-daemon", "--config-file=" + socket + ".conf", "--nofork", "--print-address=1"})
            || !bus->readLine(&line, std::chrono::seconds(10)))
            return false;
        *busAddress = line;
        processes.push_back(std::move(bus));
        return true;
    };
    if (dir.empty() || !startBus(dir + "/bus", &address) || !startBus(dir + "/empty-bus", &emptyAddress))
        return false;
    const std::map<std::string, std::string> env = {{"DBUS_SESSION_BUS_ADDRESS", address},
        {"XDG_RUNTIME_DIR", dir + "/run"}, {"HOME", dir}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
    std::vector<std::string> mutter = {"/usr/bin/mutter", "--headless", "--wayland", "--no-x11",
        "--wayland-display=wayland-mutter"};
    for (const std::string &size : monitors)
        mutter.insert(mutter.end(), {"--virtual-monitor", size});
    for (auto argv : {std::vector<std::string>{"/usr/bin/pipewire"}, mutter}) {
        // Into a file: a pipe nobody reads would stop them once full.
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>\"$HOME/log\" 2>&1"});
        processes.push_back(std::make_unique<Process>());
        if (!processes.back()->start(argv, env))
            return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        Process owner;
        if (fs::exists(socketPath()) && answers(socketPath())
            && owner.start({"/usr/bin/dbus-send", "--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus",
                   "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                   "string:org.gnome.Mutter.RemoteDesktop"})
            && owner.wait(std::chrono::seconds(5)) && owner.out().find("boolean true") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void HeadlessMutter::stop()
{
    // The last started first: Mutter, then PipeWire, then the buses.
    while (!processes.empty()) {
        processes.back()->signal(SIGTERM);
        if (!processes.back()->wait(std::chrono::seconds(5)))
            processes.back()->signal(SIGKILL);
        processes.pop_back();
    }
}

std::string HeadlessMutter::log() const
{
    return readFile(dir + "/log");
}

} // namespace Harness
