#pragma once

#include <cstdint>
#include <string>

// The platform facts that differ between a real machine and a test. The
// shipped helper installs the real Linux answers once at start-up; a test
// swaps in its own with ScopedSeam and gets the previous ones back after.
// Standard library only: pure logic reads its clock and pointer sink here.
namespace Platform {

struct OSVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;
};

class Seam {
public:
    virtual ~Seam() = default;

    // The macOS release this build stands in for (a build-time setting).
    virtual OSVersion osVersion();
    // The machine's UUID, upper case 8-4-4-4-12; empty when unreadable.
    virtual std::string platformUUID();
    virtual void openURL(const std::string &url);
    virtual void launchApplication(const std::string &bundlePath, bool activates, bool createsNewInstance);
    // Where installed applications live ("/Applications").
    virtual std::string applicationsFolder();
    // The running program's own file; the bundle is found from it.
    virtual std::string executablePath();
    // The user this process runs as; the link accepts only peers of the same.
    virtual unsigned userId();
};

// The seam in force. Never null: before anything is installed it is a Seam
// with the portable answers (clock, OS version, UUID, folders) and no display.
Seam &seam();

// Installs the process's real answers; the caller keeps ownership and keeps
// the object alive for the life of the process. Main thread, before the loop.
void setSystemSeam(Seam *system);

// Replaces the seam for its own lifetime and restores the previous one.
class ScopedSeam {
public:
    explicit ScopedSeam(Seam &replacement);
    ~ScopedSeam();
    ScopedSeam(const ScopedSeam &) = delete;
    ScopedSeam &operator=(const ScopedSeam &) = delete;

private:
    Seam *previous;
};

// Reads a machine-id file (32 hex digits) and formats it as an upper-case
// UUID; empty when the file is missing or does not hold a machine id.
std::string uuidFromMachineIdFile(const std::string &path);

} // namespace Platform
