#pragma once

#include <cstddef>
#include <optional>
#include <span>

// Where a point the main app sends lands on the desktop's monitors. The main
// app's coordinates have their origin at the upper-left corner of the main
// display and grow right and down, in the desktop's own units (pixels on
// X11, logical pixels on Wayland); the desktop's own coordinates are one
// space holding every monitor. Standard library only.
namespace KCore {

struct MonitorRect {
    int x = 0, y = 0;
    int width = 0, height = 0;
    bool primary = false;
};

struct DesktopPoint {
    int x = 0, y = 0;
    bool operator==(const DesktopPoint &) const = default;
};

// The main display: the primary monitor; when none is marked, the one that
// holds the desktop's origin; else the first. Nothing without a monitor of
// positive size.
std::optional<std::size_t> mainMonitor(std::span<const MonitorRect> monitors);

// The main display's origin plus the point, rounded. A point inside no
// monitor goes to the nearest pixel of the nearest monitor (the first
// listed, on a tie), so the gaps between monitors of different sizes and
// everything beyond the outer edges are reached at their border. Nothing
// for NaN or without a monitor.
std::optional<DesktopPoint> placePoint(double x, double y, std::span<const MonitorRect> monitors);

} // namespace KCore
