#include "mainapp/events.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace StandIn {

void emit(const std::string &line)
{
    const std::string text = line + "\n";
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            ::poll(&out, 1, 1000);
        } else {
            // Nobody reads our events any more; the link itself goes on.
            return;
        }
    }
}

void complain(const std::string &text)
{
    std::fprintf(stderr, "tessaron: %s\n", text.c_str());
}

std::string systemError(const std::string &what, int error)
{
    return what + ": " + std::strerror(error);
}

} // namespace StandIn
