// The installation flow end to end in the harness: what the alert shows,
// what is started, and that every answer ends the helper with status 0.
#include "install/install_rules.h"
#include "tests/accessibility_test_seam.h"
#include "tests/install_test_bundle.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

enum class Product { None, PlainFile, Bundle };

struct FlowCase {
    const char *name;
    Product product;
    bool appSupport;
    bool homeSet;
    bool runsFromTarget;
    bool earlierCopy;
    int result;
    const char *icon; // the installed place's icon, or the default one
};

const FlowCase kFlows[] = {
    {"FreshInstall", Product::Bundle, true, true, false, false, KInstall::Installed, "custom"},
    {"EarlierCopyReplaced", Product::Bundle, true, true, false, true, KInstall::Installed, "custom"},
    {"ProductMissing", Product::None, true, true, false, false, KInstall::ProductMissing, "default"},
    {"ProductMissingShowsTheEarlierCopysIcon", Product::None, true, true, false, true, KInstall::ProductMissing,
        "custom"},
    {"ProductIsAPlainFile", Product::PlainFile, true, true, false, false, KInstall::ProductMissing, "default"},
    {"MainAppNeverStarted", Product::Bundle, false, true, false, false, KInstall::ProductMissing, "default"},
    {"NoHome", Product::Bundle, true, false, false, false, KInstall::Unknown, "default"},
    {"AlreadyInstalled", Product::Bundle, true, true, true, false, KInstall::AlreadyInstalled, ""},
};

class Flow : public testing::TestWithParam<FlowCase> {};

TEST_P(Flow, ShowsTheOutcomeStartsTheMainAppOnlyWhenFreshlyInstalledAndQuits)
{
    const FlowCase &c = GetParam();
    TestSupport::TempDir dir;
    fs::path root = dir.path();
    fs::path home = root / "home";
    fs::path support = home / "Library/Containers/pro.tessaron/Data/Library/Application Support";
    fs::path apps = root / "Applications";
    fs::create_directories(c.appSupport ? support : home);
    fs::create_directories(apps);
    std::string product = (apps / "Tessaron.app").string();
    if (c.product == Product::Bundle)
        InstallTest::makeAppBundle(apps, "Tessaron");
    else if (c.product == Product::PlainFile)
        InstallTest::writeText(product, "not a bundle");

    fs::path downloads = root / "Downloads";
    fs::path installed = support / "Tessaron Helper.app";
    if (c.earlierCopy)
        AccessibilityTest::FakeBundle(support.string()).copyIntoResources(TESSARON_APP_ICON);
    AccessibilityTest::FakeBundle helper(c.runsFromTarget ? support.string() : downloads.string());
    helper.copyIntoResources(TESSARON_APP_ICON);
    InstallTest::writeText(fs::path(helper.path()) / "Contents/Resources/which", "running");

    TestSupport::Process harness;
    ASSERT_TRUE(harness.start({TESSARON_INSTALL_HARNESS, "flow", helper.path(), apps.string()},
                    {{"QT_QPA_PLATFORM", "offscreen"}, {"HOME", c.homeSet ? home.string() : ""}})
        && harness.wait(20s));
    EXPECT_EQ(harness.exitCode(), 0) << harness.err();

    bool installedNow = c.result == KInstall::Installed;
    std::string expected = "install=true\nwill-terminate\n";
    if (c.result != KInstall::AlreadyInstalled) {
        expected = "install=false box\nalert Tessaron Helper v2.5.1 (42) | "
            + KInstall::installMessage(c.result, "Tessaron", "Tessaron Helper") + " |  | 1 | " + c.icon + "\n"
            + (installedNow ? "launch " + product + " activates=1 new=0\n" : "") + "will-terminate\n";
    }
    EXPECT_EQ(harness.out(), expected);

    bool moved = installedNow || c.runsFromTarget;
    EXPECT_EQ(InstallTest::readText(installed / "Contents/Resources/which"), moved ? "running" : "");
    if (installedNow) {
        EXPECT_FALSE(fs::exists(downloads / "Tessaron Helper.app"));
        EXPECT_TRUE(InstallTest::eventually([&] { return InstallTest::starts(product).size() == 1; }))
            << "the main app started although the helper quit right after";
    } else {
        EXPECT_TRUE(InstallTest::starts(product).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Install, Flow, testing::ValuesIn(kFlows),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
