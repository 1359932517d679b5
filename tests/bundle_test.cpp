// The bundle's information, the system version rules and the URL events the
// desktop hands the helper, as tables.
#include "core/app.h"
#include "core/bundle_info.h"
#include "core/startup.h"
#include "core/url_event.h"
#include "platform/linux/linux_host.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

namespace {

using Values = std::map<std::string, std::string>;
using TestSupport::FakePlatform;

TEST(BundlePath, FoundOnlyForContentsMacOSInsideADotApp)
{
    for (const auto &[executable, bundle] : {
             std::pair{"/x/Tessaron Helper.app/Contents/MacOS/tessaron-helper", "/x/Tessaron Helper.app"},
             {"Tessaron Helper.app/Contents/MacOS/h", "Tessaron Helper.app"},
             {"/x/Tessaron Helper.app/Contents/bin/h", ""},
             {"/x/Tessaron Helper.app/Stuff/MacOS/h", ""},
             {"/x/Tessaron Helper/Contents/MacOS/h", ""},
             {"/x/.app/Contents/MacOS/h", ""},
             {"", ""},
         })
        EXPECT_EQ(KCore::bundlePathForExecutable(executable), bundle) << executable;
}

TEST(InfoPlist, GivesTheTopLevelStringsOfAWellFormedFileOnly)
{
    const std::pair<const char *, Values> cases[] = {
        {"<plist version=\"1.0\"><dict><key>CFBundleName</key><string>Tessaron Helper</string>\n"
         "<key>LSUIElement</key><true/>\n"
         "<key>CFBundleURLTypes</key><array><dict><key>CFBundleName</key><string>inner</string></dict></array>\n"
         "<key>Nested</key><dict><key>CFBundleVersion</key><string>99</string></dict>\n"
         "<key>Count</key><integer>3</integer><key>CFBundleVersion</key><string>34</string>\n"
         "<key>Escaped</key><string>a &amp; b &lt;c&gt;</string><key>Unicode</key><string>Tessarón</string>\n"
         "</dict></plist>",
            {{"CFBundleName", "Tessaron Helper"}, {"CFBundleVersion", "34"}, {"Escaped", "a & b <c>"},
                {"Unicode", "Tessar\xc3\xb3n"}}},
        {"CFBundleName = Tessaron Helper;", {}},
        {"<?xml version=\"1.0\"?><plist><dict><key>CFBundleName</key><string>Tess", {}},
        {"<x><dict><key>CFBundleName</key><string>T</string></dict></x>", {}},
        {"<plist><array><key>CFBundleName</key><string>T</string></array></plist>", {}},
        {"<plist><dict><key>CFBundleName</key><string>T</string></dict></plist><x", {}},
        {nullptr, {}}, // no file
    };
    for (const auto &[text, values] : cases) {
        Harness::TempDir dir;
        if (text)
            Harness::writeFile(dir / "Info.plist", text);
        EXPECT_EQ(KCore::readInfoPlist(dir / "Info.plist"), values) << (text ? text : "no file");
    }
}

TEST(BundleGetters, EmptyIsAskedAgainButAValueIsKeptForTheProcess)
{
    Harness::TempDir dir;
    FakePlatform &platform = TestSupport::freshHost();
    platform.executable = dir / "Tessaron Helper.app/Contents/MacOS/tessaron-helper";
    const std::string info = dir / "Tessaron Helper.app/Contents/Info.plist";
    KCore::App &app = *KCore::App::instance();
    // No Info.plist at all, then one without the key: empty both times.
    EXPECT_EQ(app.bundleShortVersion(), "");
    Harness::writeFile(info, TestSupport::plist({{"CFBundleName", "Tessaron Helper"}}));
    EXPECT_EQ(app.bundleShortVersion(), "");
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");
    Harness::writeFile(info, TestSupport::plist({{"CFBundleName", "Renamed"},
        {"CFBundleShortVersionString", "1.2"}, {"CFBundleIdentifier", "pro.tessaron.helper"}}));
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    EXPECT_EQ(app.bundleIdentifier(), "pro.tessaron.helper");
    EXPECT_EQ(app.bundleName(), "Tessaron Helper");
    Harness::writeFile(info, "<broken");
    EXPECT_EQ(app.bundleShortVersion(), "1.2");
    EXPECT_EQ(app.bundleVersion(), "");
}

TEST(IdentifierPrefix, CutsBeforeTheLastDot)
{
    for (const auto &[identifier, prefix] :
        {std::pair{"a.b.c.helper", "a.b.c"}, {"helper", "helper"}, {"pro.tessaron.", "pro.tessaron"}, {".helper", ""}})
        EXPECT_EQ(KCore::bundleIdentifierPrefix(identifier), prefix) << identifier;
}

TEST(Version, OnlyTenTenToTenThirteenRunAndTheTextIsThreePlainNumbers)
{
    const std::tuple<OSVersion, bool, const char *> cases[] = {
        {{10, 9, 5}, false, "10.9.5"},
        {{10, 10, 0}, true, "10.10.0"},
        {{10, 13, 6}, true, "10.13.6"},
        {{10, 14, 0}, false, "10.14.0"},
        {{11, 12, 0}, false, "11.12.0"},
        {{10, -1, 0}, false, "10.-1.0"},
        {{10, INT64_MAX, 0}, false, "10.9223372036854775807.0"},
    };
    for (const auto &[version, supported, text] : cases) {
        EXPECT_EQ(KCore::isSupportedSystem(version), supported) << text;
        TestSupport::freshHost().version = version;
        EXPECT_EQ(osVersionString(), text);
    }
    EXPECT_EQ(KCore::versionString(Platform::LinuxHost().osVersion()), TESSARON_EXPECTED_MACOS_VERSION)
        << "the build's release is the host's answer";
}

TEST(URLEvent, TakesTheURLApart)
{
    // name, text, scheme, host, path, parameters
    const std::tuple<const char *, const char *, const char *, const char *, const char *, Values> cases[] = {
        {"Example", "tessaron://open?a=1&b=two%20words", "tessaron", "open", "", {{"a", "1"}, {"b", "two words"}}},
        {"LaterKeyWins", "tessaron://x?a=1&a=2", "tessaron", "x", "", {{"a", "2"}}},
        {"FlagWithoutValue", "tessaron://x?flag", "tessaron", "x", "", {{"flag", ""}}},
        {"ThirdPartDropped", "tessaron://x?a=b=c", "tessaron", "x", "", {{"a", "b"}}},
        {"KeysStayEncoded", "tessaron://x?%41=%41", "tessaron", "x", "", {{"%41", "A"}}},
        {"PlusStaysPlus", "tessaron://x?a=b+c", "tessaron", "x", "", {{"a", "b+c"}}},
        {"NoQuery", "tessaron://open", "tessaron", "open", "", {{"", ""}}},
        {"EmptyPieces", "tessaron://x?&a=1&", "tessaron", "x", "", {{"", ""}, {"a", "1"}}},
        {"PathDecoded", "tessaron-helper://host/some%20dir/file?x=1", "tessaron-helper", "host", "/some dir/file", {{"x", "1"}}},
        {"UserAndPortLeaveTheHost", "tessaron://me:pw@example.com:8080/p", "tessaron", "example.com", "/p", {{"", ""}}},
        {"IPv6Host", "tessaron://[::1]:80/p", "tessaron", "::1", "/p", {{"", ""}}},
        {"FragmentIgnored", "tessaron://x/p?a=1#frag", "tessaron", "x", "/p", {{"a", "1"}}},
        {"NoAuthority", "mailto:support@tessaron.pro", "mailto", "", "support@tessaron.pro", {{"", ""}}},
        {"Relative", "just/a/path?k=v", "", "", "just/a/path", {{"k", "v"}}},
        {"BadSchemeIsPath", "1x:y", "", "", "1x:y", {{"", ""}}},
        {"SpaceIsNoURL", "tessaron://open?a=two words", "", "", "", {{"", ""}}},
        {"NonAsciiIsNoURL", "tessaron://\xc3\xa9t\xc3\xa9", "", "", "", {{"", ""}}},
        {"LowerCaseHexAndNul", "tessaron://x?a=%2f%2F%00x", "tessaron", "x", "", {{"a", std::string("//\0x", 4)}}},
        {"TruncatedEscapesKeptRaw", "tessaron://x?a=%4&b=%", "tessaron", "x", "", {{"a", "%4"}, {"b", "%"}}},
        {"BadEscapeLosesTheHost", "tessaron://h%G1/p", "tessaron", "", "/p", {{"", ""}}},
    };
    for (const auto &[name, text, scheme, host, path, parameters] : cases) {
        const auto parts = KInstall::parseURLEvent(text);
        EXPECT_EQ(std::tie(parts.scheme, parts.host, parts.path, parts.parameters),
            std::tie(scheme, host, path, parameters)) << name;
    }
}

} // namespace
