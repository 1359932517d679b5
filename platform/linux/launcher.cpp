#include "platform/linux/launcher.h"

#include "core/bundle_info.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace Linux {

namespace {

// Launch threads are detached; the count lets the quit path wait for them.
// Never destroyed: a thread may still finish while the process exits.
struct Pending {
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
};

Pending &pending()
{
    static Pending *shared = new Pending;
    return *shared;
}

void finishPending()
{
    Pending &p = pending();
    std::lock_guard<std::mutex> lock(p.mutex);
    if (--p.count == 0)
        p.idle.notify_all();
}

std::string resolvedPath(const std::string &path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string readLink(const std::string &path)
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool isProcessId(const std::string &name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Runs in the forked children of a threaded process: only async-signal-safe
// calls from here on, all data prepared before the fork.
[[noreturn]] void becomeDetachedProgram(const char *program, char *const argv[], int errorPipe)
{
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0)
        ::_exit(grandchild < 0 ? 1 : 0);
    // Ignored signals would survive the exec; the mask was filled before
    // the fork so no handler of ours runs in here.
    struct sigaction plain = {};
    plain.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; ++signo)
        ::sigaction(signo, &plain, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int null = ::open("/dev/null", O_RDONLY);
    if (null > 0) {
        ::dup2(null, 0);
        ::close(null);
    }
    [[maybe_unused]] int ignored = ::chdir("/");
    // Our sockets and the display connection are not the program's business.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(program, argv, environ);
    int error = errno;
    [[maybe_unused]] ssize_t n = ::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

// Starts the program in a session of its own and returns once it has been
// exec'd (or failed to be): the intermediate child exits at once, so the
// program is nobody's zombie and outlives us.
void startDetached(const std::string &program)
{
    std::vector<char> argv0(program.begin(), program.end());
    argv0.push_back('\0');
    char *const argv[] = {argv0.data(), nullptr};
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return;
    pid_t child = ::fork();
    if (child == 0)
        becomeDetachedProgram(argv0.data(), argv, errorPipe[1]);
    ::close(errorPipe[1]);
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        // End of file once the exec closed the pipe, or the exec's errno.
        int error = 0;
        while (::read(errorPipe[0], &error, sizeof error) < 0 && errno == EINTR) {
        }
    }
    ::close(errorPipe[0]);
}

void launch(const std::string &bundlePath, bool createsNewInstance)
{
    std::string program = KCore::bundleExecutablePath(bundlePath);
    if (program.empty() || ::access(program.c_str(), X_OK) != 0)
        return;
    if (!createsNewInstance && isExecutableRunning(program))
        return;
    startDetached(program);
}

} // namespace

bool isExecutableRunning(const std::string &executable)
{
    struct stat wanted;
    if (::stat(executable.c_str(), &wanted) != 0)
        return false;
    std::string resolved = resolvedPath(executable);
    std::error_code error;
    std::filesystem::directory_iterator it("/proc", error), end;
    for (; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (!isProcessId(name))
            continue;
        std::string exe = "/proc/" + name + "/exe";
        struct stat st;
        if (::stat(exe.c_str(), &st) == 0 && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino)
            return true;
        // A program replaced since it started shows as "<path> (deleted)".
        const std::string link = readLink(exe);
        if (!resolved.empty() && (link == resolved || link == resolved + " (deleted)"))
            return true;
    }
    return false;
}

void launchApplicationNow(const std::string &bundlePath, bool, bool createsNewInstance)
{
    {
        std::lock_guard<std::mutex> lock(pending().mutex);
        ++pending().count;
    }
    auto work = [bundlePath, createsNewInstance] {
        // Signals go to the other threads; the forked children start with
        // them blocked until their handlers are reset.
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, nullptr);
        launch(bundlePath, createsNewInstance);
        finishPending();
    };
    try {
        std::thread(work).detach();
    } catch (...) {
        // No thread to be had: a late launch still beats none.
        sigset_t saved;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &saved);
        work();
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    }
}

bool waitForPendingLaunches(std::chrono::milliseconds timeout)
{
    Pending &p = pending();
    std::unique_lock<std::mutex> lock(p.mutex);
    return p.idle.wait_for(lock, timeout, [&p] { return p.count == 0; });
}

} // namespace Linux
