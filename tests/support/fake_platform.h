#pragma once

// The one fake of the platform: host, pointer and clock. It answers
// every question from its fields, so no test reads the real host through
// it, and records every action in calls, in order.
#include "platform/clock.h"
#include "platform/pointer.h"
#include "platform/host.h"
#include "harness/temp_dir.h"

#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace TestSupport {

using Values = std::map<std::string, std::string>;

struct FakePlatform : Platform::Host, Platform::Pointer, Platform::Clock {
    std::int64_t now = 0; // 0: the real clock, for frames from another process
    Platform::OSVersion version{10, 13, 6};
    bool trusted = false, probe = true;
    Platform::Desktop onDesktop = Platform::Desktop::X11;
    std::string uuid = "01234567-89AB-CDEF-0123-456789ABCDEF", applications, executable;
    unsigned uid = 0;
    int trustQueries = 0, probeQueries = 0;
    std::vector<std::string> calls;

    virtual void record(const std::string &call) { calls.push_back(call); }

    std::int64_t unixTime() override { return now ? now : static_cast<std::int64_t>(std::time(nullptr)); }
    Platform::OSVersion osVersion() override { return version; }
    bool isAccessibilityTrusted() override { return ++trustQueries, trusted; }
    bool canCreateEventTap() override { return ++probeQueries, probe; }
    Platform::Desktop desktop() override { return onDesktop; }
    void postPointerMove(double x, double y) override
    {
        record("move " + std::to_string(x) + " " + std::to_string(y));
    }
    std::string platformUUID() override { return uuid; }
    void openURL(const std::string &url) override { record("open " + url); }
    void launchApplication(const std::string &path, bool activates, bool createsNewInstance) override
    {
        record("launch " + path + " " + std::to_string(activates) + std::to_string(createsNewInstance));
    }
    std::string applicationsFolder() override { return applications; }
    std::string executablePath() override { return executable; }
    unsigned userId() override { return uid; }
};

// The host the test binary's App was built with (app_test_main.cpp).
FakePlatform &appHost();

// The App's host, back to a fake's defaults for the test that asks.
inline FakePlatform &freshHost()
{
    return appHost() = FakePlatform{};
}

// The helper's bundle values; the App keeps the first it reads for the process.
inline Values helperInfo()
{
    return {{"CFBundleName", "Tessaron Helper"}, {"CFBundleDisplayName", "Tessaron Pointer"},
        {"CFBundleIdentifier", "pro.tessaron.helper"}, {"CFBundleShortVersionString", "2.5.1"},
        {"CFBundleVersion", "42"}};
}

inline std::string plist(const Values &strings)
{
    std::string body;
    for (const auto &[key, value] : strings)
        body += "<key>" + key + "</key><string>" + value + "</string>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body + "</dict>\n</plist>\n";
}

// "<folder>/<name>.app" with its Info.plist and the given resources copied in;
// returns the path of its program, Contents/MacOS/<program>.
inline std::string makeBundle(const std::string &folder, const std::string &name,
    const Values &info, const std::vector<std::string> &resources = {},
    const std::string &program = "tessaron-helper")
{
    const std::filesystem::path bundle = std::filesystem::path(folder) / (name + ".app");
    Harness::writeFile(bundle / "Contents/Info.plist", plist(info));
    std::filesystem::create_directories(bundle / "Contents/MacOS");
    std::filesystem::create_directories(bundle / "Contents/Resources");
    for (const std::string &file : resources)
        std::filesystem::copy_file(file, bundle / "Contents/Resources" / std::filesystem::path(file).filename());
    return (bundle / "Contents/MacOS" / program).string();
}

} // namespace TestSupport
