// The permission transitions, the placeholder rule and the utm query, as tables.
#include "accessibility/permission_rules.h"
#include "ui/guidance_text.h"

#include <gtest/gtest.h>

namespace {

using KSystem::PermissionState;

constexpr PermissionState kUnknown = PermissionState::Unknown;
constexpr PermissionState kGranted = PermissionState::Granted;
constexpr PermissionState kMissing = PermissionState::Missing;

struct StepCase {
    const char *name;
    PermissionState from;
    bool missing;
    bool limited;
    bool windowOpen;
    // Expected.
    PermissionState to;
    bool openWindow;
    double interval;
    bool postGranted;
    bool callDenied;
};

const StepCase kSteps[] = {
    {"UnknownToGranted", kUnknown, false, false, false, kGranted, false, 5.0, true, false},
    {"MissingToGranted", kMissing, false, false, false, kGranted, false, 5.0, true, false},
    {"MissingToGrantedWithTheWindowStillOpen", kMissing, false, false, true, kGranted, false, 5.0, true, false},
    {"GrantedStaysQuiet", kGranted, false, false, false, kGranted, false, 0.0, false, false},
    {"UsableWhileLimitedFlagSetStillGrants", kUnknown, false, true, false, kGranted, false, 5.0, true, false},
    {"UnknownToMissing", kUnknown, true, false, false, kMissing, true, 1.0, false, true},
    {"GrantedToMissing", kGranted, true, false, false, kMissing, true, 1.0, false, true},
    {"MissingWithoutWindowReopensItOnly", kMissing, true, false, false, kMissing, true, 0.0, false, false},
    {"MissingWithWindowOpen", kMissing, true, false, true, kMissing, false, 0.0, false, false},
    {"GrantedMissingButWindowOpen", kGranted, true, false, true, kGranted, false, 0.0, false, false},
    {"LimitedFromUnknown", kUnknown, true, true, false, kUnknown, false, 0.0, false, false},
    {"LimitedFromGranted", kGranted, true, true, false, kGranted, false, 0.0, false, false},
    {"LimitedFromMissing", kMissing, true, true, false, kMissing, false, 0.0, false, false},
};

class PermissionStep : public testing::TestWithParam<StepCase> {};

TEST_P(PermissionStep, FollowsTheTransitionTable)
{
    const StepCase &c = GetParam();
    KSystem::PermissionStep step = KSystem::nextPermissionStep(c.from, c.missing, c.limited, c.windowOpen);
    EXPECT_EQ(step.state, c.to);
    EXPECT_EQ(step.openWindow, c.openWindow);
    EXPECT_EQ(step.pollInterval, c.interval);
    EXPECT_EQ(step.postGranted, c.postGranted);
    EXPECT_EQ(step.callDenied, c.callDenied);
}

INSTANTIATE_TEST_SUITE_P(Transitions, PermissionStep, testing::ValuesIn(kSteps),
    [](const auto &info) { return std::string(info.param.name); });

struct VersionCase {
    const char *name;
    std::int64_t major;
    std::int64_t minor;
    bool limitation;
};

const VersionCase kVersions[] = {
    {"Yosemite", 10, 10, false},
    {"Eleven", 11, 0, false},
    {"Mavericks", 10, 9, true},
    {"TenZero", 10, 0, true},
    {"Unreadable", 0, 0, true},
    {"NineDotNinetyNine", 9, 99, true},
};

class ProbeFailure : public testing::TestWithParam<VersionCase> {};

TEST_P(ProbeFailure, CountsOnlyBeforeTenTen)
{
    EXPECT_EQ(KSystem::probeFailureIsLimitation(GetParam().major, GetParam().minor), GetParam().limitation);
}

INSTANTIATE_TEST_SUITE_P(Versions, ProbeFailure, testing::ValuesIn(kVersions),
    [](const auto &info) { return std::string(info.param.name); });

struct PlaceholderCase {
    const char *name;
    std::string text;
    KUI::PlaceholderPairs pairs;
    std::string expected;
};

const KUI::PlaceholderPairs kName = {{"{{APPNAME}}", "Tessaron Helper"}};

const PlaceholderCase kPlaceholders[] = {
    {"LeadingPlaceholderKeepsTheOtherWords", "{{APPNAME}} needs access", kName, "Tessaron Helper needs access"},
    {"TwiceBothReplaced", "Open {{APPNAME}} or quit {{APPNAME}}", kName,
        "Open Tessaron Helper or quit Tessaron Helper"},
    {"AdjacentPlaceholders", "{{APPNAME}}{{APPNAME}}", kName, "Tessaron HelperTessaron Helper"},
    {"AlreadyHoldsTheValueKeepsItsPlaceholder", "{{APPNAME}} is Tessaron Helper", kName,
        "{{APPNAME}} is Tessaron Helper"},
    {"ValueInsideALongerWordStillCounts", "Tessaron Helpers and {{APPNAME}}", kName,
        "Tessaron Helpers and {{APPNAME}}"},
    {"NoPlaceholder", "Nothing to do", kName, "Nothing to do"},
    {"EmptyText", "", kName, ""},
    {"EmptyValueIsNeverHeld", "A {{APPNAME}}.", {{"{{APPNAME}}", ""}}, "A ."},
    {"EmptyPlaceholderChangesNothing", "A {{APPNAME}}.", {{"", "x"}}, "A {{APPNAME}}."},
    {"ValueHoldingThePlaceholderDoesNotLoop", "{{N}} and {{N}}", {{"{{N}}", "<{{N}}>"}}, "<{{N}}> and <{{N}}>"},
    {"PairsApplyInOrder", "{{A}}", {{"{{A}}", "x{{B}}"}, {"{{B}}", "y"}}, "xy"},
    {"EarlierPairDecidesForLaterOnes", "{{B}} {{A}}", {{"{{A}}", "y"}, {"{{B}}", "y"}}, "{{B}} y"},
    {"CaseMatters", "{{appname}}", kName, "{{appname}}"},
};

class Placeholders : public testing::TestWithParam<PlaceholderCase> {};

TEST_P(Placeholders, ReplaceUnlessTheValueIsAlreadyThere)
{
    EXPECT_EQ(KUI::replacePlaceholders(GetParam().text, GetParam().pairs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, Placeholders, testing::ValuesIn(kPlaceholders),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ReplaceAll, ReplacesEveryOccurrenceEvenWhenTheResultHoldsTheValue)
{
    // The plain replace-all of the window title: no "already holds" check.
    EXPECT_EQ(KUI::replaceAll("Tessaron Helper: {{APPNAME}}", "{{APPNAME}}", "Tessaron Helper"),
        "Tessaron Helper: Tessaron Helper");
    EXPECT_EQ(KUI::replaceAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(KUI::replaceAll("abc", "", "x"), "abc");
}

TEST(UtmQuery, IsBuiltExactlyWithTheValuesAsTheyAre)
{
    EXPECT_EQ(KUI::makeUtmQuery("10.13.6", "2.5.1", "pro.tessaron.helper"),
        "?utm_source=mas&utm_medium=10.13.6&utm_campaign=2.5.1&utm_content=pro.tessaron.helper");
    // No percent-encoding, whatever the values hold.
    EXPECT_EQ(KUI::makeUtmQuery("10.9.0", "1.0 beta", "a&b=c"),
        "?utm_source=mas&utm_medium=10.9.0&utm_campaign=1.0 beta&utm_content=a&b=c");
    EXPECT_EQ(KUI::makeUtmQuery("", "", ""), "?utm_source=mas&utm_medium=&utm_campaign=&utm_content=");
}

} // namespace
