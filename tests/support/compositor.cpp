#include "tests/support/compositor.h"

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include "xdg-output-unstable-v1-client-protocol.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>

namespace fs = std::filesystem;

namespace TestSupport {

namespace {

constexpr unsigned nobody = 65534;

bool root()
{
    return ::getuid() == 0;
}

// A folder the compositor's user owns; only root may have to hand it over.
bool ownedFolder(const std::string &path, fs::perms mode)
{
    std::error_code error;
    fs::create_directory(path, error);
    fs::permissions(path, mode, error);
    return !error && (!root() || ::chown(path.c_str(), nobody, nobody) == 0);
}

struct SeenOutput {
    std::string name;
    int x = 0, y = 0, w = 0, h = 0;
};

struct Seen {
    zxdg_output_manager_v1 *manager = nullptr;
    std::vector<wl_output *> outputs;
    std::vector<SeenOutput> geometry;
};

void onGlobal(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    auto *seen = static_cast<Seen *>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0)
        seen->outputs.push_back(static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, 1)));
    else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0)
        seen->manager = static_cast<zxdg_output_manager_v1 *>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2));
}

const wl_registry_listener registryListener = {onGlobal, [](void *, wl_registry *, uint32_t) {}};

SeenOutput &at(void *data)
{
    return *static_cast<SeenOutput *>(data);
}

const zxdg_output_v1_listener xdgOutputListener = {
    [](void *d, zxdg_output_v1 *, int32_t x, int32_t y) { at(d).x = x, at(d).y = y; },
    [](void *d, zxdg_output_v1 *, int32_t w, int32_t h) { at(d).w = w, at(d).h = h; },
    [](void *, zxdg_output_v1 *) {},
    [](void *d, zxdg_output_v1 *, const char *name) { at(d).name = name; },
    [](void *, zxdg_output_v1 *, const char *) {},
};

std::string firstMatch(const std::string &folder, const std::string &prefix, const std::string &suffix)
{
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(suffix) && !name.ends_with(".lock"))
            return entry.path().string();
    }
    return {};
}

} // namespace

HeadlessCompositor::~HeadlessCompositor()
{
    stop();
}

std::string HeadlessCompositor::missing(Kind kind)
{
    const char *binary = kind == Kind::Sway ? "/usr/bin/sway" : "/usr/bin/cage";
    if (::access(binary, X_OK) == 0)
        return {};
    return std::string(binary) + " is missing: install the Debian package " + (kind == Kind::Sway ? "sway" : "cage");
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

bool HeadlessCompositor::start(Kind kind, std::vector<OutputSpec> outputs, std::vector<std::string> cageCommand)
{
    stop();
    savedLog.clear();
    notes.clear();
    if (outputs.empty() || (kind == Kind::Cage && outputs.size() != 1)) {
        notes = "cage takes exactly one output, sway at least one\n";
        return false;
    }
    char name[] = "/tmp/tessaron-wayland-XXXXXX";
    if (!::mkdtemp(name))
        return false;
    dir = name;
    const std::string runtime = dir + "/run";
    if (!ownedFolder(dir, fs::perms::owner_all) || !ownedFolder(runtime, fs::perms::owner_all) ||
        !ownedFolder(dir + "/client-run", fs::perms::owner_all)) {
        notes = "cannot prepare " + dir + "\n";
        return false;
    }
    std::vector<std::string> argv;
    if (kind == Kind::Sway) {
        // No Xwayland and no swaynag: either would be a client of its own.
        std::string config = "xwayland disable\nswaynag_command -\n";
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            const auto &o = outputs[i];
            config += "output HEADLESS-" + std::to_string(i + 1) + " resolution " + std::to_string(o.width) + "x" +
                      std::to_string(o.height) + " position " + std::to_string(o.x) + " " + std::to_string(o.y) +
                      " scale " + std::to_string(o.scale) + "\n";
        }
        writeFile(dir + "/config", config);
        argv = asUser({"/usr/bin/sway", "-c", dir + "/config"});
    } else {
        if (cageCommand.empty())
            cageCommand = {"/bin/sleep", "100000"};
        argv = asUser({"/usr/bin/cage", "--"});
        argv.insert(argv.end(), cageCommand.begin(), cageCommand.end());
    }
    // setpriv changes the user, which clears a parent-death signal set before.
    if (root())
        argv.insert(argv.begin() + 1, "--pdeathsig=KILL");
    // Nothing of the test's own environment reaches the compositor.
    std::vector<std::string> env = {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                                    "WLR_HEADLESS_OUTPUTS=" + std::to_string(outputs.size()),
                                    "HOME=" + dir, "XDG_RUNTIME_DIR=" + runtime, "PATH=/usr/bin:/bin"};
    std::vector<char *> args, envp;
    for (auto &a : argv)
        args.push_back(a.data());
    for (auto &e : env)
        envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const int logFd = ::open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    child = ::fork();
    if (child == 0) {
        // Dies with us even if the test crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(devnull, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        if (::chdir(dir.c_str()) == 0)
            ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(logFd);
    ::close(devnull);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (child > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            notes += "the compositor exited\n";
            return false;
        }
        socket = firstMatch(runtime, "wayland-", "");
        swaySocket = firstMatch(runtime, "sway-ipc.", ".sock");
        if (!socket.empty() && (kind == Kind::Cage || !swaySocket.empty()) && outputsMatch(outputs))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    notes += "not ready within 10 s\n";
    stop();
    return false;
}

bool HeadlessCompositor::outputsMatch(const std::vector<OutputSpec> &outputs)
{
    wl_display *display = wl_display_connect(socket.c_str());
    if (!display)
        return false;
    Seen seen;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &seen);
    wl_display_roundtrip(display);
    seen.geometry.resize(seen.outputs.size());
    std::vector<zxdg_output_v1 *> xdgOutputs;
    for (std::size_t i = 0; seen.manager && i < seen.outputs.size(); ++i) {
        xdgOutputs.push_back(zxdg_output_manager_v1_get_xdg_output(seen.manager, seen.outputs[i]));
        zxdg_output_v1_add_listener(xdgOutputs.back(), &xdgOutputListener, &seen.geometry[i]);
    }
    const bool answered = wl_display_roundtrip(display) >= 0;
    std::string found;
    std::size_t matched = 0;
    for (const auto &g : seen.geometry) {
        found += " " + g.name + " " + std::to_string(g.x) + "," + std::to_string(g.y) + " " + std::to_string(g.w) +
                 "x" + std::to_string(g.h);
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            const auto &o = outputs[i];
            // The logical size is the mode over the scale, rounded either way.
            if (g.name == "HEADLESS-" + std::to_string(i + 1) && g.x == o.x && g.y == o.y &&
                std::abs(g.w - o.width / o.scale) < 1 && std::abs(g.h - o.height / o.scale) < 1)
                ++matched;
        }
    }
    for (auto *o : xdgOutputs)
        zxdg_output_v1_destroy(o);
    for (auto *o : seen.outputs)
        wl_output_destroy(o);
    if (seen.manager)
        zxdg_output_manager_v1_destroy(seen.manager);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    notes = "outputs seen:" + found + "\n";
    return answered && seen.manager && matched == outputs.size() && seen.geometry.size() == outputs.size();
}

void HeadlessCompositor::stop()
{
    const auto exited = [this](std::chrono::milliseconds bound) {
        for (auto end = std::chrono::steady_clock::now() + bound; std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (::waitpid(child, nullptr, WNOHANG) != 0)
                return true;
        return false;
    };
    if (child > 0) {
        // Cage leaves its program running when it ends, and aborts on a
        // SIGTERM after that program ended: stop the program first, by its
        // PID while it is still cage's child, and let cage end by itself.
        const std::string self = std::to_string(child);
        std::ifstream children("/proc/" + self + "/task/" + self + "/children");
        bool hadProgram = false;
        for (pid_t program; children >> program; hadProgram = true)
            ::kill(program, SIGKILL);
        if (!(hadProgram && exited(std::chrono::seconds(2)))) {
            ::kill(child, SIGTERM);
            if (!exited(std::chrono::seconds(5))) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
        }
    }
    child = -1;
    std::error_code ignored;
    if (!dir.empty()) {
        savedLog = readFile(dir + "/log");
        fs::remove_all(dir, ignored);
    }
    dir.clear();
    socket.clear();
    swaySocket.clear();
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

} // namespace TestSupport
