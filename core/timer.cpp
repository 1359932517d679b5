#include "core/timer.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimerEvent>

#include <cmath>
#include <unordered_map>

namespace KCore {

namespace {

// One schedule and one callback, like a platform timer object. Shared, so a
// firing keeps it alive while its callback destroys the Timer that owned it.
class TimerObject : public std::enable_shared_from_this<TimerObject> {
public:
    explicit TimerObject(std::function<void()> callback) : callback(std::move(callback)) {}
    ~TimerObject() { stop(); }

    void start(double interval, bool repeats);
    void stop();
    void fire();

private:
    std::function<void()> callback;
    int timerId = 0;
    bool repeats = false;
};

// Owns the Qt timers of every TimerObject, so no QObject is ever deleted
// from inside its own timer event.
class TimerHost : public QObject {
public:
    using QObject::QObject;

    std::unordered_map<int, std::weak_ptr<TimerObject>> timers;

protected:
    void timerEvent(QTimerEvent *event) override
    {
        auto it = timers.find(event->timerId());
        if (it == timers.end())
            return;
        if (auto object = it->second.lock())
            object->fire();
    }
};

TimerHost *timerHost()
{
    static QPointer<TimerHost> host;
    if (!host && QCoreApplication::instance())
        host = new TimerHost(QCoreApplication::instance());
    return host;
}

void TimerObject::start(double interval, bool repeat)
{
    stop();
    repeats = repeat;
    TimerHost *host = timerHost();
    if (!host)
        return;
    double ms = std::isfinite(interval) ? std::max(0.0, std::round(interval * 1000.0)) : 0.0;
    timerId = host->startTimer(static_cast<int>(std::min(ms, 2147483647.0)), Qt::PreciseTimer);
    if (timerId != 0)
        host->timers[timerId] = weak_from_this();
}

void TimerObject::stop()
{
    if (timerId == 0)
        return;
    if (TimerHost *host = timerHost()) {
        host->killTimer(timerId);
        host->timers.erase(timerId);
    }
    timerId = 0;
}

void TimerObject::fire()
{
    auto self = shared_from_this();
    if (!repeats)
        stop();
    if (callback)
        callback();
}

} // namespace

struct Timer::Impl {
    std::function<void()> callback;
    std::shared_ptr<TimerObject> object;
    bool running = false;
    double interval = 0.0;
    // Bumped for every new platform object; a counted firing that finds
    // another number knows its schedule was replaced meanwhile.
    std::shared_ptr<std::uint64_t> generation = std::make_shared<std::uint64_t>(0);
};

Timer::Timer(double interval, bool repeats, std::function<void()> callback)
    : impl(std::make_unique<Impl>())
{
    if (interval > 0.0 && callback) {
        setCallback(std::move(callback));
        impl->object->start(interval, repeats);
        impl->interval = interval;
        impl->running = true;
    }
}

Timer::~Timer()
{
    if (impl->object)
        impl->object->stop();
}

void Timer::setCallback(std::function<void()> callback)
{
    if (!callback)
        return;
    impl->callback = callback;
    impl->object = std::make_shared<TimerObject>(std::move(callback));
    ++*impl->generation;
}

void Timer::start(double interval, std::function<void()> callback)
{
    stop();
    setCallback(std::move(callback));
    if (!impl->object)
        return;
    impl->object->start(interval, true);
    impl->interval = interval;
    impl->running = true;
}

void Timer::start(double interval, int count, std::function<void()> callback)
{
    stop();
    if (count < 1 || !callback)
        return;
    Impl *state = impl.get();
    std::weak_ptr<std::uint64_t> generation = impl->generation;
    std::uint64_t mine = *impl->generation + 1;
    setCallback([state, generation, mine, remaining = count, callback = std::move(callback)]() mutable {
        callback();
        // The callback may have destroyed this timer or given it a new schedule.
        auto current = generation.lock();
        if (!current || *current != mine)
            return;
        if (--remaining == 0) {
            state->object->stop();
            state->running = false;
        }
    });
    impl->object->start(interval, true);
    impl->interval = interval;
    impl->running = true;
}

void Timer::stop()
{
    if (!impl->object)
        return;
    impl->object->stop();
    impl->running = false;
}

bool Timer::isRunning() const
{
    return impl && impl->running;
}

double Timer::interval() const
{
    return impl->interval;
}

} // namespace KCore
