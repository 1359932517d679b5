#pragma once

#include <cstdint>
#include <string>

// What the helper asks of the machine it runs on, beside the pointer and the
// clock. The App is built with one; tests hand it a fake.
namespace Platform {

struct OSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
};

class Host {
public:
    virtual ~Host() = default;

    // The macOS release this build stands in for (a build-time setting).
    virtual OSVersion osVersion() = 0;
    // The machine's UUID, upper case 8-4-4-4-12; empty when unreadable.
    virtual std::string platformUUID() = 0;
    virtual void openURL(const std::string &url) = 0;
    // Starts the bundle's program detached; the outcome is never reported.
    virtual void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance) = 0;
    // Where installed applications live ("/Applications").
    virtual std::string applicationsFolder() = 0;
    // The running program's own file; the bundle is found from it.
    virtual std::string executablePath() = 0;
    // The user this process runs as; the link accepts only peers of the same.
    virtual unsigned userId() = 0;
};

} // namespace Platform
