// The installation flow end to end in the harness: what the alert shows,
// what is started, and that every answer ends the helper with status 0.
#include "install/install_rules.h"
#include "tests/install_test_bundle.h"
#include "harness/process.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The real file system and the real alert; the rules' table has the rest.
TEST(Flow, ShowsTheOutcomeStartsTheMainAppOnlyWhenFreshlyInstalledAndQuits)
{
    const struct {
        const char *name;
        bool product, homeSet, runsFromTarget, earlierCopy;
        int result;
        const char *text, *icon; // the installed place's icon, or the default one
    } cases[] = {
        {"FreshInstall", true, true, false, false, KInstall::Installed,
            "Tessaron Helper has been installed into the Tessaron app container.", "custom"},
        {"ProductMissing", false, true, false, false, KInstall::ProductMissing,
            "Tessaron is not installed. Please download it from the Mac App Store, launch it at least once, then run "
            "this helper again.",
            "default"},
        {"ProductMissingShowsTheEarlierCopysIcon", false, true, false, true, KInstall::ProductMissing, nullptr,
            "custom"},
        {"NoHome", true, false, false, false, KInstall::Unknown,
            "An unknown error occurred. Please report this to support@tessaron.pro.", "default"},
        {"AlreadyInstalled", true, true, true, false, KInstall::AlreadyInstalled, nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Harness::TempDir dir;
        const std::string home = dir / "home", apps = dir / "Applications", product = apps + "/Tessaron.app",
                          support = home + "/Library/Containers/pro.tessaron/Data/Library/Application Support",
                          downloads = dir / "Downloads", installed = support + "/Tessaron Helper.app";
        fs::create_directories(support);
        fs::create_directories(apps);
        if (c.product)
            InstallTest::makeAppBundle(apps, "Tessaron");
        if (c.earlierCopy)
            TestSupport::makeBundle(support, "Tessaron Helper", TestSupport::helperInfo(), {TESSARON_APP_ICON});
        const std::string where = c.runsFromTarget ? support : downloads;
        TestSupport::makeBundle(where, "Tessaron Helper", TestSupport::helperInfo(), {TESSARON_APP_ICON});
        Harness::writeFile(where + "/Tessaron Helper.app/Contents/Resources/which", "running");

        Harness::Process harness;
        ASSERT_TRUE(harness.start({TESSARON_HELPER_HARNESS, "flow", where + "/Tessaron Helper.app", apps},
                        {{"QT_QPA_PLATFORM", "offscreen"}, {"HOME", c.homeSet ? home : ""}})
            && harness.wait(20s));
        EXPECT_EQ(harness.exitCode(), 0) << harness.err();
        const bool installedNow = c.result == KInstall::Installed;
        EXPECT_EQ(harness.out(), c.result == KInstall::AlreadyInstalled ? "install=true\nwill-terminate\n"
                : "install=false box\nalert Tessaron Helper v2.5.1 (42) | " + std::string(c.text ? c.text : cases[1].text)
                    + " |  | 1 | " + c.icon + "\n" + (installedNow ? "launch " + product + " 10\n" : "")
                    + "will-terminate\n");
        EXPECT_EQ(Harness::readFile(installed + "/Contents/Resources/which"),
            installedNow || c.runsFromTarget ? "running" : "");
        EXPECT_EQ(fs::exists(downloads + "/Tessaron Helper.app"), !installedNow && !c.runsFromTarget);
        // Started although the helper quit right after.
        EXPECT_TRUE(InstallTest::eventually([&] { return InstallTest::starts(product).size() == installedNow; }));
    }
}

} // namespace
