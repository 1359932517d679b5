#pragma once

#include <chrono>
#include <string>

namespace Linux {

// The real launcher behind the host. On a thread of its own it starts the
// bundle's Contents/MacOS/<CFBundleExecutable> detached (new session, stdin
// from /dev/null, working folder "/", the caller's environment, no arguments
// and no shell), unless createsNewInstance is false and a process already
// runs that executable. activates is not consulted: the desktop focuses a
// newly started program itself and offers no portable way to raise one.
// Returns at once; any thread.
void launchApplicationNow(const std::string &bundlePath, bool activates, bool createsNewInstance);

// Waits until every launch begun so far has either started its program (the
// exec has happened) or given up, or until the timeout. True when none is
// left. The process must call this before it exits, or a launch made just
// before a quit may be lost with it. Any thread but a launch's own.
bool waitForPendingLaunches(std::chrono::milliseconds timeout);

// Whether a process visible to us runs this program: /proc/<pid>/exe is the
// same file, or names the program's resolved path (a replaced file shows
// as "<path> (deleted)"). A script's process shows its interpreter there,
// so a bundle whose program is a script is never found running.
bool isExecutableRunning(const std::string &executable);

} // namespace Linux
