#include "platform/seam.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <unistd.h>

#ifndef TESSARON_MACOS_MAJOR
#define TESSARON_MACOS_MAJOR 10
#endif
#ifndef TESSARON_MACOS_MINOR
#define TESSARON_MACOS_MINOR 13
#endif
#ifndef TESSARON_MACOS_PATCH
#define TESSARON_MACOS_PATCH 6
#endif

namespace Platform {

OSVersion Seam::osVersion()
{
    return {TESSARON_MACOS_MAJOR, TESSARON_MACOS_MINOR, TESSARON_MACOS_PATCH};
}

std::string Seam::platformUUID()
{
    std::string uuid = uuidFromMachineIdFile("/etc/machine-id");
    if (uuid.empty())
        uuid = uuidFromMachineIdFile("/var/lib/dbus/machine-id");
    return uuid;
}

void Seam::openURL(const std::string &) {}

void Seam::launchApplication(const std::string &, bool, bool) {}

std::string Seam::applicationsFolder()
{
    return "/Applications";
}

std::string Seam::executablePath()
{
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

unsigned Seam::userId()
{
    return static_cast<unsigned>(::getuid());
}

namespace {

Seam &portableSeam()
{
    static Seam portable;
    return portable;
}

Seam *systemSeam = nullptr;
Seam *currentSeam = nullptr;

} // namespace

Seam &seam()
{
    if (currentSeam)
        return *currentSeam;
    return systemSeam ? *systemSeam : portableSeam();
}

void setSystemSeam(Seam *system)
{
    systemSeam = system;
}

ScopedSeam::ScopedSeam(Seam &replacement)
    : previous(currentSeam)
{
    currentSeam = &replacement;
}

ScopedSeam::~ScopedSeam()
{
    currentSeam = previous;
}

std::string uuidFromMachineIdFile(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    if (line.size() != 32)
        return {};
    std::string uuid;
    uuid.reserve(36);
    for (std::size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (!std::isxdigit(c))
            return {};
        if (i == 8 || i == 12 || i == 16 || i == 20)
            uuid.push_back('-');
        uuid.push_back(static_cast<char>(std::toupper(c)));
    }
    return uuid;
}

} // namespace Platform
