#include "core/monitor_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace KCore {

namespace {

bool usable(const MonitorRect &m)
{
    return m.width > 0 && m.height > 0;
}

bool holdsOrigin(const MonitorRect &m)
{
    return m.x <= 0 && m.y <= 0 && 0 < static_cast<long long>(m.x) + m.width
        && 0 < static_cast<long long>(m.y) + m.height;
}

} // namespace

std::optional<std::size_t> mainMonitor(std::span<const MonitorRect> monitors)
{
    std::optional<std::size_t> first, origin;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (!usable(monitors[i]))
            continue;
        if (monitors[i].primary)
            return i;
        if (!origin && holdsOrigin(monitors[i]))
            origin = i;
        if (!first)
            first = i;
    }
    return origin ? origin : first;
}

std::optional<DesktopPoint> placePoint(double x, double y, std::span<const MonitorRect> monitors)
{
    const std::optional<std::size_t> main = mainMonitor(monitors);
    if (!main || std::isnan(x) || std::isnan(y))
        return std::nullopt;
    // Far beyond any desktop, but finite: distances stay comparable, and no
    // conversion below sees a value an int cannot hold.
    constexpr double kFar = 1e9;
    const double gx = std::clamp(monitors[*main].x + std::round(x), -kFar, kFar);
    const double gy = std::clamp(monitors[*main].y + std::round(y), -kFar, kFar);
    DesktopPoint best;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const MonitorRect &m : monitors) {
        if (!usable(m))
            continue;
        const double px = std::clamp(gx, double(m.x), double(m.x) + m.width - 1);
        const double py = std::clamp(gy, double(m.y), double(m.y) + m.height - 1);
        const double distance = (px - gx) * (px - gx) + (py - gy) * (py - gy);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = {static_cast<int>(px), static_cast<int>(py)};
        }
    }
    return best;
}

} // namespace KCore
