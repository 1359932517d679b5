#include "core/app.h"
#include "core/bundle_info.h"
#include "core/startup.h"
#include "platform/linux/linux_host.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

namespace {

using Values = std::map<std::string, std::string>;
using TestSupport::FakePlatform;

struct PathCase {
    const char *name;
    const char *executable;
    const char *bundle;
};

const PathCase kPaths[] = {
    {"Bundle", "/x/Tessaron Helper.app/Contents/MacOS/tessaron-helper", "/x/Tessaron Helper.app"},
    {"Relative", "Tessaron Helper.app/Contents/MacOS/h", "Tessaron Helper.app"},
    {"NotInMacOS", "/x/Tessaron Helper.app/Contents/bin/h", ""},
    {"NoContents", "/x/Tessaron Helper.app/MacOS/h", ""},
    {"NotAnApp", "/x/Tessaron Helper/Contents/MacOS/h", ""},
    {"BareDotApp", "/x/.app/Contents/MacOS/h", ""},
    {"PlainBinary", "/usr/bin/tessaron-helper", ""},
    {"Empty", "", ""},
};

class BundlePath : public testing::TestWithParam<PathCase> {};

TEST_P(BundlePath, FoundOnlyForContentsMacOSInsideADotApp)
{
    EXPECT_EQ(KCore::bundlePathForExecutable(GetParam().executable), GetParam().bundle);
}

INSTANTIATE_TEST_SUITE_P(Executables, BundlePath, testing::ValuesIn(kPaths),
    [](const auto &info) { return std::string(info.param.name); });

struct PlistCase {
    const char *name;
    const char *text; // null: no file
    Values values;
};

const PlistCase kPlists[] = {
    {"TopLevelStringsOnly",
        "<plist version=\"1.0\"><dict><key>CFBundleName</key><string>Tessaron Helper</string>\n"
        "<key>LSUIElement</key><true/>\n"
        "<key>CFBundleURLTypes</key><array><dict><key>CFBundleName</key><string>inner</string></dict></array>\n"
        "<key>Nested</key><dict><key>CFBundleVersion</key><string>99</string></dict>\n"
        "<key>Count</key><integer>3</integer><key>CFBundleVersion</key><string>34</string>\n"
        "<key>Escaped</key><string>a &amp; b &lt;c&gt;</string><key>Unicode</key><string>Tessarón</string>\n"
        "</dict></plist>",
        {{"CFBundleName", "Tessaron Helper"}, {"CFBundleVersion", "34"}, {"Escaped", "a & b <c>"},
            {"Unicode", "Tessar\xc3\xb3n"}}},
    {"Empty", "", {}},
    {"NotXml", "CFBundleName = Tessaron Helper;", {}},
    {"Truncated", "<?xml version=\"1.0\"?><plist><dict><key>CFBundleName</key><string>Tess", {}},
    {"UnclosedTags", "<plist><dict><key>CFBundleName</key><string>T</string></plist>", {}},
    {"RootIsNotPlist", "<dict><key>CFBundleName</key><string>T</string></dict>", {}},
    {"TopIsArray", "<plist><array><string>CFBundleName</string></array></plist>", {}},
    {"TrailingGarbage", "<plist><dict><key>CFBundleName</key><string>T</string></dict></plist><x", {}},
    {"Missing", nullptr, {}},
};

class InfoPlist : public testing::TestWithParam<PlistCase> {};

TEST_P(InfoPlist, GivesTheTopLevelStringsOfAWellFormedFileOnly)
{
    TestSupport::TempDir dir;
    if (GetParam().text)
        TestSupport::writeFile(dir / "Info.plist", GetParam().text);
    EXPECT_EQ(KCore::readInfoPlist(dir / "Info.plist"), GetParam().values);
}

INSTANTIATE_TEST_SUITE_P(Files, InfoPlist, testing::ValuesIn(kPlists),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BundleGetters, EmptyIsAskedAgainButAValueIsKeptForTheProcess)
{
    TestSupport::TempDir dir;
    FakePlatform &platform = TestSupport::freshHost();
    platform.executable = dir / "Tessaron Helper.app/Contents/MacOS/tessaron-helper";
    const std::string info = dir / "Tessaron Helper.app/Contents/Info.plist";
    KCore::App &app = *KCore::App::instance();
    // No Info.plist at all, then one without the key: empty both times.
    EXPECT_EQ(app.bundleShortVersion(), "");
    TestSupport::writeFile(info, TestSupport::plist({{"CFBundleName", "Tessaron Helper"}}));
    EXPECT_EQ(app.bundleShortVersion(), "");
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");
    TestSupport::writeFile(info, TestSupport::plist({{"CFBundleName", "Renamed"},
        {"CFBundleShortVersionString", "1.2"}, {"CFBundleIdentifier", "pro.tessaron.helper"}}));
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    EXPECT_EQ(app.bundleIdentifier(), "pro.tessaron.helper");
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");
    TestSupport::writeFile(info, "<broken");
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    EXPECT_EQ(app.bundleVersion(), "");
}

struct PrefixCase {
    const char *name;
    const char *identifier;
    const char *prefix;
};

const PrefixCase kPrefixes[] = {
    {"Helper", "pro.tessaron.helper", "pro.tessaron"},
    {"FourParts", "a.b.c.helper", "a.b.c"},
    {"NoDot", "helper", "helper"},
    {"Empty", "", ""},
    {"TrailingDot", "pro.tessaron.", "pro.tessaron"},
    {"LeadingDotOnly", ".helper", ""},
};

class IdentifierPrefix : public testing::TestWithParam<PrefixCase> {};

TEST_P(IdentifierPrefix, CutsBeforeTheLastDot)
{
    EXPECT_EQ(KCore::bundleIdentifierPrefix(GetParam().identifier), GetParam().prefix);
}

INSTANTIATE_TEST_SUITE_P(Identifiers, IdentifierPrefix, testing::ValuesIn(kPrefixes),
    [](const auto &info) { return std::string(info.param.name); });

struct VersionCase {
    const char *name;
    OSVersion version;
    bool supported;
    const char *text;
};

const VersionCase kVersions[] = {
    {"Mavericks_10_9", {10, 9, 5}, false, "10.9.5"},
    {"Yosemite_10_10", {10, 10, 0}, true, "10.10.0"},
    {"HighSierra_10_13", {10, 13, 6}, true, "10.13.6"},
    {"Mojave_10_14", {10, 14, 0}, false, "10.14.0"},
    {"Eleven_11_12", {11, 12, 0}, false, "11.12.0"},
    {"Zero", {0, 0, 0}, false, "0.0.0"},
    {"NegativeMinor", {10, -1, 0}, false, "10.-1.0"},
    {"HugeMinor", {10, INT64_MAX, 0}, false, "10.9223372036854775807.0"},
    {"Nine_10_6", {9, 10, 0}, false, "9.10.0"},
};

class Version : public testing::TestWithParam<VersionCase> {};

TEST_P(Version, OnlyTenTenToTenThirteenRunAndTheTextIsThreePlainNumbers)
{
    EXPECT_EQ(KCore::isSupportedSystem(GetParam().version), GetParam().supported);
    TestSupport::freshHost().version = GetParam().version;
    EXPECT_EQ(osVersionString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Versions, Version, testing::ValuesIn(kVersions),
    [](const auto &info) { return std::string(info.param.name); });

TEST(OSVersion, TheBuildsReleaseIsTheHostsAnswer)
{
    Platform::LinuxHost host;
    EXPECT_EQ(KCore::versionString(host.osVersion()), TESSARON_EXPECTED_MACOS_VERSION);
}

} // namespace
