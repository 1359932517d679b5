#pragma once

#include <functional>
#include <memory>

namespace KCore {

// A callback on the main loop after an interval, repeatedly or a given
// number of times. The callback may stop, restart or destroy its own timer.
// Main thread only, once the App exists.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    // Starts at once only for a positive interval and a callback.
    explicit Timer(double interval = 0.0, bool repeats = false, std::function<void()> callback = {});
    ~Timer();
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    // Replaces the callback (an empty one is ignored). Call on a stopped timer.
    void setCallback(std::function<void()> callback);
    // Repeats every interval seconds; an empty callback keeps the current one.
    void start(double interval, std::function<void()> callback);
    // Fires count times, one interval apart, then stops. A count below 1 or
    // an empty callback leaves the timer stopped.
    void start(double interval, int count, std::function<void()> callback);
    void stop();
    bool isRunning() const;
    // The interval of the latest schedule, in seconds.
    double interval() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace KCore
