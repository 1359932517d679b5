#pragma once

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

namespace TestSupport {

// Runs the real event loop until the condition holds or the time is up.
inline bool runLoopUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

// Runs the real event loop for the given time.
inline void runLoopFor(std::chrono::milliseconds span)
{
    runLoopUntil([] { return false; }, span);
}

} // namespace TestSupport
