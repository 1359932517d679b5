// Where the main app's points land on real monitor layouts, as a table.
#include "core/monitor_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace {

using KCore::DesktopPoint;
using KCore::MonitorRect;
using Layout = std::vector<MonitorRect>;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

const Layout kSingle = {{0, 0, 1280, 800, true}};
// The main monitor right of another one, and below one.
const Layout kPrimaryRight = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024, true}};
const Layout kPrimaryBelow = {{0, 0, 1920, 1080}, {320, 1080, 1280, 800, true}};
// A shorter monitor beside the main one leaves a gap under it.
const Layout kDeadZone = {{0, 0, 1920, 1080, true}, {1920, 0, 1280, 720}};
// Left of the main one: negative on both sides.
const Layout kLeftOfMain = {{0, 0, 1280, 800, true}, {-1280, 0, 1280, 800}};
// Unmarked: the one at the desktop's origin is the main one, else the first.
const Layout kUnmarked = {{1920, 0, 1280, 1024}, {0, 0, 1920, 1080}};
const Layout kUnmarkedAway = {{100, 100, 800, 600}, {900, 100, 800, 600}, {0, 0, 0, 0}};

struct Case {
    const char *name;
    Layout layout;
    double x, y;
    std::optional<DesktopPoint> lands;
};

const Case kCases[] = {
    {"InsideTheOnlyMonitor", kSingle, 100, 100, DesktopPoint{100, 100}},
    {"RoundedHalfAwayFromZero", kSingle, 99.5, 0.49, DesktopPoint{100, 0}},
    {"BeyondTheEdgesToTheBorder", kSingle, -5, 900, DesktopPoint{0, 799}},
    {"HugeAndInfiniteValuesToTheCorners", kSingle, 1e300, -kInf, DesktopPoint{1279, 0}},
    {"PastXsSixteenBitsHeldNotWrapped", kSingle, 70000, 65546, DesktopPoint{1279, 799}},
    {"NaNGoesNowhere", kSingle, kNaN, 10, std::nullopt},
    {"PrimaryRightOriginIsItsCorner", kPrimaryRight, 100, 100, DesktopPoint{2020, 100}},
    {"PrimaryRightNegativeXReachesTheLeftMonitor", kPrimaryRight, -100, 50, DesktopPoint{1820, 50}},
    {"PrimaryRightFarLeftStopsAtTheLeftEdge", kPrimaryRight, -3000, 50, DesktopPoint{0, 50}},
    {"BelowTheMainMonitorTheTallerOneIsNearer", kPrimaryRight, 10, 1050, DesktopPoint{1919, 1050}},
    {"PrimaryBelowOriginIsItsCorner", kPrimaryBelow, 10, 10, DesktopPoint{330, 1090}},
    {"PrimaryBelowNegativeYReachesTheTopMonitor", kPrimaryBelow, 10, -10, DesktopPoint{330, 1070}},
    {"DeadZoneNearerTheMainMonitor", kDeadZone, 2000, 900, DesktopPoint{1919, 900}},
    {"DeadZoneNearerTheShortMonitor", kDeadZone, 2500, 900, DesktopPoint{2500, 719}},
    {"LeftOfMainIsReachedWithNegativeX", kLeftOfMain, -100, 10, DesktopPoint{-100, 10}},
    {"UnmarkedTheOneAtTheOriginIsMain", kUnmarked, 100, 100, DesktopPoint{100, 100}},
    {"UnmarkedAwayFromTheOriginTheFirstIsMain", kUnmarkedAway, 0, 0, DesktopPoint{100, 100}},
    {"ATieGoesToTheFirstListed", Layout{{0, 0, 100, 100, true}, {101, 0, 100, 100}}, 100, 50, DesktopPoint{99, 50}},
    {"NoMonitorGoesNowhere", {{0, 0, 0, 0, true}}, 0, 0, std::nullopt},
};

class Placement : public testing::TestWithParam<Case> {};

TEST_P(Placement, LandsOnTheNearestPixelOfTheNearestMonitor)
{
    const Case &c = GetParam();
    const auto lands = KCore::placePoint(c.x, c.y, c.layout);
    ASSERT_EQ(lands.has_value(), c.lands.has_value());
    if (lands) {
        EXPECT_EQ(std::pair(lands->x, lands->y), std::pair(c.lands->x, c.lands->y));
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Placement, testing::ValuesIn(kCases),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MainMonitor, PrimaryThenTheOriginThenTheFirstUsable)
{
    EXPECT_EQ(KCore::mainMonitor(kPrimaryBelow), 1u);
    EXPECT_EQ(KCore::mainMonitor(kUnmarked), 1u);
    EXPECT_EQ(KCore::mainMonitor(Layout{{0, 0, 0, 0}, {5, 5, 10, 10}}), 1u);
    EXPECT_EQ(KCore::mainMonitor(Layout{}), std::nullopt);
}

} // namespace
