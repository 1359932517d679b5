#pragma once

// Application bundles in a temporary folder whose program is the fake app
// (install_fake_app), and what its starts left behind.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace InstallTest {

inline void writeText(const std::filesystem::path &file, const std::string &text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

inline std::string readText(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string infoPlist(const std::string &executable)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>CFBundleExecutable</key><string>"
        + executable + "</string>\n</dict>\n</plist>\n";
}

#ifdef TESSARON_FAKE_APP
// "<folder>/<name>.app" starting the fake app as <executable>.
inline std::string makeAppBundle(const std::filesystem::path &folder, const std::string &name,
    const std::string &executable = "Tessaron")
{
    std::filesystem::path bundle = folder / (name + ".app");
    writeText(bundle / "Contents/Info.plist", infoPlist(executable));
    std::filesystem::create_directories(bundle / "Contents/MacOS");
    std::filesystem::copy_file(TESSARON_FAKE_APP, bundle / "Contents/MacOS" / executable);
    return bundle.string();
}
#endif

struct Start {
    int pid = 0;
    int session = 0;
    std::string cwd;
    std::string stdinTarget;
};

// One entry per start of the bundle's program, in order.
inline std::vector<Start> starts(const std::string &bundle)
{
    std::istringstream lines(readText(std::filesystem::path(bundle) / "Contents/MacOS/started"));
    std::vector<Start> found;
    Start start;
    while (lines >> start.pid >> start.session >> start.cwd >> start.stdinTarget)
        found.push_back(start);
    return found;
}

// Polls until the condition holds; the limit only keeps a broken build
// from hanging.
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace InstallTest
