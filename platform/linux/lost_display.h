#pragma once

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace Platform {

// Ends the process at once with one line on stderr and status 1. A display
// going away is often seen twice at once (Qt's event thread and ours; the
// compositor and its XWayland): the first caller speaks, any other waits
// for the end. Nothing else is safe here: the caller may be inside Xlib or
// libwayland.
[[noreturn]] inline void exitForLostDisplay(const char *kind, const char *name)
{
    static std::atomic_flag said;
    if (!said.test_and_set()) {
        std::fprintf(stderr, "tessaron-helper: lost the %s display \"%s\"\n", kind, name);
        std::fflush(stderr);
        ::_exit(1);
    }
    for (;;)
        ::pause();
}

} // namespace Platform
