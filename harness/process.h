#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Harness {

// A child program with its stdout and stderr captured, for tests that watch
// the real binaries from outside. The child is killed if still running when
// the object goes.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // env entries are set (or, with an empty value, removed) in the child.
    bool start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {});
    // Waits for one line on stdout; false on timeout or end of output.
    bool readLine(std::string *line, std::chrono::milliseconds timeout);
    void signal(int signo);
    // Waits for the exit and collects the remaining output; false on timeout.
    bool wait(std::chrono::milliseconds timeout);

    pid_t pid() const { return child; }
    int exitCode() const { return exitStatus; }   // -1 when killed by a signal
    int termSignal() const { return killedBy; }
    const std::string &out() const { return stdoutText; }
    const std::string &err() const { return stderrText; }

private:
    void pump(int timeoutMs);

    pid_t child = -1;
    int outFd = -1;
    int errFd = -1;
    int exitStatus = -1;
    int killedBy = 0;
    bool exited = false;
    std::string stdoutText;
    std::string stderrText;
    std::size_t lineCursor = 0;
};

} // namespace Harness
