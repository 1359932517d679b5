// Stands in for a bundle's program: appends "<pid> <session> <cwd> <stdin>"
// to "started" next to itself, then lingers while "linger" is there (at
// most a minute, so a test that dies leaves nothing running for long).
#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string link(const char *path)
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

int main()
{
    std::string self = link("/proc/self/exe");
    std::string folder = self.substr(0, self.rfind('/'));
    char cwd[PATH_MAX] = "";
    if (!::getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    if (std::FILE *out = std::fopen((folder + "/started").c_str(), "a")) {
        std::fprintf(out, "%d %d %s %s\n", static_cast<int>(::getpid()), static_cast<int>(::getsid(0)), cwd,
            link("/proc/self/fd/0").c_str());
        std::fclose(out);
    }
    std::string linger = folder + "/linger";
    for (int i = 0; i < 600 && ::access(linger.c_str(), F_OK) == 0; ++i)
        ::usleep(100000);
    return 0;
}
