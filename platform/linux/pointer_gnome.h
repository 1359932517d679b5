#pragma once

#include <memory>
#include <string>

// GNOME's Wayland session offers neither wlroots' nor KWin's interface;
// Mutter moves the pointer for a remote desktop session of its own D-Bus
// API instead, without a prompt for a program of the user's session.
namespace GnomeInput {

// The version of Mutter's remote desktop interface on the session bus; 0
// when the name is not there or does not answer.
int remoteDesktopVersion();

// One remote desktop session with a screen cast stream of every monitor
// (absolute motion is given relative to a stream), started at once and
// stopped when this goes (Mutter also stops it when our bus connection
// closes). The monitors come from Mutter's display configuration. When they
// change, or Mutter ends the session (it does then), a new session is made
// on the loop while moves wait. Moves are sent without waiting for Mutter,
// at most 64 unanswered; beyond that they wait in order, up to 65,536. Only
// open() waits, for at most 500 ms per answer: the permission check needs
// its answer. Main thread only, once the App exists.
class PointerSession {
public:
    // Nothing when no session can be made and started; why, in *reason.
    // The caller has seen remoteDesktopVersion() answer.
    static std::unique_ptr<PointerSession> open(std::string *reason);
    ~PointerSession();
    PointerSession(const PointerSession &) = delete;
    PointerSession &operator=(const PointerSession &) = delete;

    bool usable() const;
    void post(double x, double y);

    struct Impl;

private:
    explicit PointerSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl;
};

} // namespace GnomeInput
