#pragma once

#include <cstdint>
#include <ctime>

namespace Platform {

// The clock frames are stamped and checked with. Tests move their own.
class Clock {
public:
    virtual ~Clock() = default;
    // Unix time in seconds, as time() gives it.
    virtual std::int64_t unixTime() = 0;
};

class SystemClock final : public Clock {
public:
    std::int64_t unixTime() override { return static_cast<std::int64_t>(std::time(nullptr)); }
};

} // namespace Platform
