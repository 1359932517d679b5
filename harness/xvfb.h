#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Harness {

class Process;

// A private X server on a free display number, stopped by its own PID.
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;

    // Extra arguments such as {"-extension", "XTEST"}; false if it never got ready.
    bool start(const std::vector<std::string> &extra = {});
    // The same on a given display number, e.g. to replace a server.
    bool startOn(const std::string &display, const std::vector<std::string> &extra = {});
    void stop();
    // ":N", valid once started.
    const std::string &display() const { return name; }

private:
    std::unique_ptr<Process> server;
    std::string name;
};

} // namespace Harness
