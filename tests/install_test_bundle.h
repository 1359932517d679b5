#pragma once

// Application bundles whose program is the fake app (install_fake_app), and
// what its starts left behind.
#include "tests/support/fake_platform.h"

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

namespace InstallTest {

// "<folder>/<name>.app" starting a copy of the fake app as <executable>.
inline std::string makeAppBundle(const std::string &folder, const std::string &name,
    const std::string &executable = "Tessaron")
{
    const std::string program =
        TestSupport::makeBundle(folder, name, {{"CFBundleExecutable", executable}}, {}, executable);
    std::filesystem::copy_file(TESSARON_FAKE_APP, program);
    return folder + "/" + name + ".app";
}

struct Start {
    int pid = 0, session = 0;
    std::string cwd, stdinTarget;
};

// One entry per start of the bundle's program, in order.
inline std::vector<Start> starts(const std::string &bundle)
{
    std::istringstream lines(Harness::readFile(bundle + "/Contents/MacOS/started"));
    std::vector<Start> found;
    for (Start start; lines >> start.pid >> start.session >> start.cwd >> start.stdinTarget;)
        found.push_back(start);
    return found;
}

// Polls until the condition holds; the limit only keeps a broken build from hanging.
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    for (auto end = std::chrono::steady_clock::now() + limit; !done();) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace InstallTest
