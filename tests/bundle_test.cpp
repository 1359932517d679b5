#include "core/app.h"
#include "core/bundle_info.h"
#include "core/startup.h"
#include "platform/seam.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

void write(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string plist(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" + body + "</dict>\n</plist>\n";
}

struct FakeSeam : Platform::Seam {
    std::string exe;
    OSVersion v;
    std::string executablePath() override { return exe; }
    OSVersion osVersion() override { return v; }
};

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

TEST(InfoPlist, ReadsTopLevelStringsAndSkipsEverythingElse)
{
    TestSupport::TempDir dir;
    write(dir / "Info.plist",
        plist("<key>CFBundleName</key><string>Tessaron Helper</string>\n"
              "<key>LSUIElement</key><true/>\n"
              "<key>CFBundleURLTypes</key><array><dict><key>CFBundleName</key><string>inner</string>"
              "</dict></array>\n"
              "<key>Nested</key><dict><key>CFBundleVersion</key><string>99</string></dict>\n"
              "<key>Count</key><integer>3</integer>\n"
              "<key>CFBundleVersion</key><string>34</string>\n"
              "<key>Escaped</key><string>a &amp; b &lt;c&gt;</string>\n"
              "<key>Unicode</key><string>Tessarón</string>\n"));
    EXPECT_EQ(KCore::readInfoPlist(dir / "Info.plist"),
        (std::map<std::string, std::string>{{"CFBundleName", "Tessaron Helper"}, {"CFBundleVersion", "34"},
            {"Escaped", "a & b <c>"}, {"Unicode", "Tessar\xc3\xb3n"}}));
}

struct BadPlist {
    const char *name;
    const char *text;
};

const BadPlist kBadPlists[] = {
    {"Empty", ""},
    {"NotXml", "CFBundleName = Tessaron Helper;"},
    {"Truncated", "<?xml version=\"1.0\"?><plist><dict><key>CFBundleName</key><string>Tess"},
    {"UnclosedTags", "<plist><dict><key>CFBundleName</key><string>T</string></plist>"},
    {"RootIsNotPlist", "<dict><key>CFBundleName</key><string>T</string></dict>"},
    {"TopIsArray", "<plist><array><string>CFBundleName</string></array></plist>"},
    {"TrailingGarbage", "<plist><dict><key>CFBundleName</key><string>T</string></dict></plist><x"},
    {"Missing", nullptr},
};

class MalformedPlist : public testing::TestWithParam<BadPlist> {};

TEST_P(MalformedPlist, GivesNoValues)
{
    TestSupport::TempDir dir;
    if (GetParam().text)
        write(dir / "Info.plist", GetParam().text);
    EXPECT_TRUE(KCore::readInfoPlist(dir / "Info.plist").empty());
}

INSTANTIATE_TEST_SUITE_P(Files, MalformedPlist, testing::ValuesIn(kBadPlists),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BundleGetters, EmptyIsAskedAgainButAValueIsKeptForTheProcess)
{
    TestSupport::TempDir dir;
    fs::path bundle = dir / "Tessaron Helper.app";
    fs::path info = bundle / "Contents/Info.plist";
    FakeSeam seam;
    seam.exe = (bundle / "Contents/MacOS/tessaron-helper").string();
    Platform::ScopedSeam scoped(seam);
    KCore::App &app = *KCore::App::instance();

    // No Info.plist at all, then one without the key: empty both times.
    EXPECT_EQ(app.bundleShortVersion(), "");
    write(info, plist("<key>CFBundleName</key><string>Tessaron Helper</string>\n"));
    EXPECT_EQ(app.bundleShortVersion(), "");
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");

    write(info, plist("<key>CFBundleName</key><string>Renamed</string>\n"
                      "<key>CFBundleShortVersionString</key><string>1.2</string>\n"
                      "<key>CFBundleIdentifier</key><string>pro.tessaron.helper</string>\n"));
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    EXPECT_EQ(app.bundleIdentifier(), "pro.tessaron.helper");
    // Once read, a value never changes for the life of the process.
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");

    write(info, "<broken");
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    // A malformed file gives empty values, never a crash.
    EXPECT_EQ(app.bundleVersion(), "");
}

TEST(BundleGetters, OutsideAnyBundleEverythingIsEmpty)
{
    FakeSeam seam;
    seam.exe = "/usr/bin/tessaron-helper";
    Platform::ScopedSeam scoped(seam);
    EXPECT_EQ(KCore::mainBundlePath(), "");
    EXPECT_EQ(KCore::mainBundleInfoValue("CFBundleName"), "");
    EXPECT_EQ(KCore::App::instance()->bundleDisplayName(), "");
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
};

const VersionCase kVersions[] = {
    {"Mavericks_10_9", {10, 9, 5}, false},
    {"Yosemite_10_10", {10, 10, 0}, true},
    {"HighSierra_10_13", {10, 13, 6}, true},
    {"Mojave_10_14", {10, 14, 0}, false},
    {"Eleven_11_12", {11, 12, 0}, false},
    {"Zero", {0, 0, 0}, false},
    {"NegativeMinor", {10, -1, 0}, false},
    {"HugeMinor", {10, INT64_MAX, 0}, false},
    {"Nine_10_6", {9, 10, 0}, false},
};

class VersionGate : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionGate, OnlyTenTenToTenThirteenRun)
{
    EXPECT_EQ(KCore::isSupportedSystem(GetParam().version), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionGate, testing::ValuesIn(kVersions),
    [](const auto &info) { return std::string(info.param.name); });

TEST(OSVersionString, AlwaysThreeNumbersWithoutPaddingAndTheBuildsReleaseByDefault)
{
    EXPECT_EQ(osVersionString(), TESSARON_EXPECTED_MACOS_VERSION);
    FakeSeam seam;
    Platform::ScopedSeam scoped(seam);
    for (const auto &[version, text] :
        {std::pair{OSVersion{10, 9, 5}, "10.9.5"}, std::pair{OSVersion{-1, 0, 12}, "-1.0.12"}}) {
        seam.v = version;
        EXPECT_EQ(osVersionString(), text);
    }
}

} // namespace
