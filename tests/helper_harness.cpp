// The real helper's run with one platform answer changed: the OS version it
// reports (the first argument). URLs it opens are printed instead.
#include "app/helper_main.h"
#include "platform/linux/linux_seam.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ReportedVersion : Platform::LinuxSeam {
    Platform::OSVersion version;
    Platform::OSVersion osVersion() override { return version; }
    // The bundle values come from the helper's own bundle.
    std::string executablePath() override { return TESSARON_HELPER_EXECUTABLE; }
    void openURL(const std::string &url) override
    {
        std::printf("open-url %s\n", url.c_str());
        std::fflush(stdout);
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    ReportedVersion seam;
    if (std::sscanf(argv[1], "%ld.%ld.%ld", &seam.version.major, &seam.version.minor, &seam.version.patch) != 3)
        return 2;
    std::vector<char *> rest = {argv[0]};
    rest.insert(rest.end(), argv + 2, argv + argc);
    rest.push_back(nullptr);
    int restCount = argc - 1;
    Platform::setSystemSeam(&seam);
    Platform::X11Pointer pointer;
    return helperMain(restCount, rest.data(), pointer);
}
