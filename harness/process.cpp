#include "harness/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Harness {

Process::~Process()
{
    if (child > 0 && !exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    if (outFd >= 0)
        ::close(outFd);
    if (errFd >= 0)
        ::close(errFd);
}

bool Process::start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env)
{
    int out[2], err[2];
    if (argv.empty() || ::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // Built before the fork: between fork and exec a threaded process may
    // only make async-signal-safe calls, which setenv is not.
    std::vector<std::string> entries;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!env.contains(entry.substr(0, entry.find('='))))
            entries.push_back(entry);
    }
    for (const auto &[key, value] : env)
        if (!value.empty())
            entries.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (auto &e : entries)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (devnull >= 0)
        ::close(devnull);
    ::close(out[1]);
    ::close(err[1]);
    outFd = out[0];
    errFd = err[0];
    return child > 0;
}

void Process::pump(int timeoutMs)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) <= 0)
        return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0)
            (i == 0 ? stdoutText : stderrText).append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) {
            ::close(fds[i].fd);
            (i == 0 ? outFd : errFd) = -1;
        }
    }
}

bool Process::readLine(std::string *line, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t end = stdoutText.find('\n', lineCursor);
        if (end != std::string::npos) {
            *line = stdoutText.substr(lineCursor, end - lineCursor);
            lineCursor = end + 1;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (outFd < 0 && errFd < 0))
            return false;
        pump(static_cast<int>(left.count()));
    }
}

void Process::signal(int signo)
{
    if (child > 0 && !exited)
        ::kill(child, signo);
}

bool Process::wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited) {
        int status = 0;
        pid_t r = ::waitpid(child, &status, WNOHANG);
        if (r == child) {
            exited = true;
            if (WIFEXITED(status))
                exitStatus = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                killedBy = WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (outFd >= 0 || errFd >= 0)
            pump(10);
        else
            ::usleep(2000);
    }
    // A program it started may hold the output open: give up on that after a while.
    for (auto end = std::max(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(5));
         (outFd >= 0 || errFd >= 0) && std::chrono::steady_clock::now() < end;)
        pump(100);
    return true;
}

} // namespace Harness
