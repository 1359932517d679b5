// The permission transitions, the placeholder rule and the utm query, as tables.
#include "accessibility/permission_rules.h"
#include "ui/guidance_text.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using KSystem::PermissionState;

TEST(PermissionStep, FollowsTheTransitionTable)
{
    constexpr PermissionState U = PermissionState::Unknown, G = PermissionState::Granted, M = PermissionState::Missing;
    struct Case {
        PermissionState from;
        bool missing, limited, windowOpen;
        // Expected: state, open the window, interval, post granted, call denied.
        std::tuple<PermissionState, bool, double, bool, bool> step;
    };
    const Case cases[] = {
        {U, false, false, false, {G, false, 5.0, true, false}},
        {M, false, false, false, {G, false, 5.0, true, false}},
        {M, false, false, true, {G, false, 5.0, true, false}}, // the window's own poll closes it
        {G, false, false, false, {G, false, 0.0, false, false}},
        {U, false, true, false, {G, false, 5.0, true, false}}, // usable: the limited flag does not count
        {U, true, false, false, {M, true, 1.0, false, true}},
        {G, true, false, false, {M, true, 1.0, false, true}},
        {M, true, false, false, {M, true, 0.0, false, false}}, // reopens the window only
        {M, true, false, true, {M, false, 0.0, false, false}},
        {G, true, false, true, {G, false, 0.0, false, false}},
        {U, true, true, false, {U, false, 0.0, false, false}}, // limited: the helper is quitting
        {G, true, true, false, {G, false, 0.0, false, false}},
        {M, true, true, false, {M, false, 0.0, false, false}},
    };
    for (const Case &c : cases) {
        const KSystem::PermissionStep s = KSystem::nextPermissionStep(c.from, c.missing, c.limited, c.windowOpen);
        EXPECT_EQ(std::tuple(s.state, s.openWindow, s.pollInterval, s.postGranted, s.callDenied), c.step)
            << "row " << &c - cases;
    }
}

TEST(ProbeFailure, CountsOnlyBeforeTenTen)
{
    for (const auto &[major, minor, limitation] : {std::tuple{10, 10, false}, {11, 0, false}, {10, 9, true},
             {10, 0, true}, {0, 0, true}, {9, 99, true}})
        EXPECT_EQ(KSystem::probeFailureIsLimitation(major, minor), limitation) << major << "." << minor;
}

TEST(Placeholders, AreReplacedUnlessTheTextAlreadyHoldsTheValue)
{
    const KUI::PlaceholderPairs name = {{"{{APPNAME}}", "Tessaron Helper"}};
    const std::tuple<std::string, KUI::PlaceholderPairs, std::string> cases[] = {
        {"{{APPNAME}} needs access", name, "Tessaron Helper needs access"},
        {"Open {{APPNAME}} or quit {{APPNAME}}", name, "Open Tessaron Helper or quit Tessaron Helper"},
        {"{{APPNAME}}{{APPNAME}}", name, "Tessaron HelperTessaron Helper"},
        {"{{APPNAME}} is Tessaron Helper", name, "{{APPNAME}} is Tessaron Helper"},
        // The value inside a longer word still counts as held.
        {"Tessaron Helpers and {{APPNAME}}", name, "Tessaron Helpers and {{APPNAME}}"},
        {"Nothing to do", name, "Nothing to do"},
        {"", name, ""},
        {"A {{APPNAME}}.", {{"{{APPNAME}}", ""}}, "A ."}, // an empty value is never held
        {"A {{APPNAME}}.", {{"", "x"}}, "A {{APPNAME}}."},
        {"{{N}} and {{N}}", {{"{{N}}", "<{{N}}>"}}, "<{{N}}> and <{{N}}>"}, // no loop
        {"{{A}}", {{"{{A}}", "x{{B}}"}, {"{{B}}", "y"}}, "xy"},             // pairs in order
        {"{{B}} {{A}}", {{"{{A}}", "y"}, {"{{B}}", "y"}}, "{{B}} y"},       // an earlier pair decides
        {"{{appname}}", name, "{{appname}}"},
    };
    for (const auto &[text, pairs, expected] : cases)
        EXPECT_EQ(KUI::replacePlaceholders(text, pairs), expected) << text;
}

TEST(ReplaceAll, ReplacesEveryOccurrenceEvenWhenTheResultHoldsTheValue)
{
    // The plain replace-all of the window title: no "already holds" check.
    EXPECT_EQ(KUI::replaceAll("Tessaron Helper: {{APPNAME}}", "{{APPNAME}}", "Tessaron Helper"),
        "Tessaron Helper: Tessaron Helper");
    EXPECT_EQ(KUI::replaceAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(KUI::replaceAll("abc", "", "x"), "abc");
}

TEST(UtmQuery, IsBuiltWithTheValuesAsTheyAre)
{
    // No percent-encoding, whatever the values hold.
    EXPECT_EQ(KUI::makeUtmQuery("10.9.0", "1.0 beta", "a&b=c"),
        "?utm_source=mas&utm_medium=10.9.0&utm_campaign=1.0 beta&utm_content=a&b=c");
}

} // namespace
