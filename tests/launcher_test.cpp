// The real launcher against bundles in a temporary folder whose program is
// the fake app: what it starts, how detached, and that it never blocks.
#include "core/bundle_info.h"
#include "platform/linux/launcher.h"
#include "tests/install_test_bundle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using InstallTest::eventually;
using InstallTest::starts;
namespace fs = std::filesystem;

namespace {

// Processes running this very file, as the launcher must find them.
int running(const std::string &program)
{
    struct stat wanted, st;
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc"))
        count += ::stat(program.c_str(), &wanted) == 0 && ::stat((entry.path() / "exe").c_str(), &st) == 0
            && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino;
    return count;
}

class Launcher : public testing::Test {
protected:
    ~Launcher() override
    {
        Linux::waitForPendingLaunches(10s);
        // Lingering fake apps are ours: stopped by the ids they wrote.
        for (const std::string &bundle : bundles)
            for (const auto &start : starts(bundle))
                ::kill(start.pid, SIGKILL);
    }
    std::string bundle(const std::string &name, const std::string &executable = "Tessaron")
    {
        return bundles.emplace_back(InstallTest::makeAppBundle(dir.path(), name, executable));
    }

    Harness::TempDir dir;
    std::vector<std::string> bundles;
};

// A shell anywhere on the way would run the commands in the names.
TEST_F(Launcher, StartsTheProgramDetachedWithoutAShellAndOnlyOnceUnlessAsked)
{
    const std::string home = dir.path() + "/", saved = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.c_str(), 1);
    const std::string app = bundle("It's \"Tessaron\" $(touch \"$HOME\"pwned) `touch \"$HOME\"pwned`; touch \"$HOME\"pwned",
        "Tessaron $(touch \"$HOME\"pwned) 'x'");
    const std::string program = KCore::bundleExecutablePath(app);
    Harness::writeFile(fs::path(program).parent_path() / "linger", "");
    Linux::launchApplicationNow(app, true, false);
    ASSERT_TRUE(Linux::waitForPendingLaunches(10s));
    ::setenv("HOME", saved.c_str(), 1);
    // Waiting covers the exec: the program runs by now.
    EXPECT_EQ(running(program), 1);
    // Found by its file: another copy of the same program is not running.
    fs::copy_file(TESSARON_FAKE_APP, dir / "copy");
    EXPECT_FALSE(Linux::isExecutableRunning(dir / "copy"));
    ASSERT_TRUE(eventually([&] { return !starts(app).empty(); }));
    const auto start = starts(app).front();
    EXPECT_NE(start.session, ::getsid(0)) << "a session of its own";
    EXPECT_EQ(start.cwd, "/");
    EXPECT_EQ(start.stdinTarget, "/dev/null");
    EXPECT_FALSE(fs::exists(home + "pwned"));
    for (bool createsNewInstance : {false, true}) {
        Linux::launchApplicationNow(app, true, createsNewInstance);
        ASSERT_TRUE(Linux::waitForPendingLaunches(10s));
    }
    EXPECT_EQ(running(program), 2);
    EXPECT_TRUE(eventually([&] { return starts(app).size() == 2; }));
}

// Nor does a bundle that is missing or whose program cannot run stop anything.
TEST_F(Launcher, NeverBlocksTheCaller)
{
    // The Info.plist is a pipe nobody writes yet: reading it blocks.
    const std::string app = bundle("Tessaron"), broken = bundle("Broken");
    fs::remove(app + "/Contents/Info.plist");
    ASSERT_EQ(::mkfifo((app + "/Contents/Info.plist").c_str(), 0600), 0);
    fs::permissions(broken + "/Contents/MacOS/Tessaron", fs::perms(0644));
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        for (const std::string &path : {app, dir.path() + "/Missing.app", broken})
            Linux::launchApplicationNow(path, true, true);
        returned = true;
    });
    EXPECT_TRUE(eventually([&] { return returned.load(); }));
    EXPECT_FALSE(Linux::waitForPendingLaunches(0ms)) << "the launch is still pending";
    Harness::writeFile(app + "/Contents/Info.plist", TestSupport::plist({{"CFBundleExecutable", "Tessaron"}}));
    caller.join();
    EXPECT_TRUE(Linux::waitForPendingLaunches(10s));
    EXPECT_TRUE(eventually([&] { return !starts(app).empty(); }));
    EXPECT_TRUE(starts(broken).empty());
}

// A name that leads out of Contents/MacOS, or none, gives no program.
TEST(BundleExecutable, IsAPlainNameInsideContentsMacOS)
{
    Harness::TempDir dir;
    for (const auto &[value, expected] : {std::pair{"Tessaron", "/Contents/MacOS/Tessaron"}, {"../../../bin/sh", ""},
             {"..", ""}, {"", ""}, {nullptr, ""}}) {
        if (value)
            Harness::writeFile(dir / "T.app/Contents/Info.plist", TestSupport::plist({{"CFBundleExecutable", value}}));
        else
            fs::remove(dir / "T.app/Contents/Info.plist");
        EXPECT_EQ(KCore::bundleExecutablePath(dir / "T.app"), *expected ? dir / "T.app" + expected : "")
            << (value ? value : "no Info.plist");
    }
}

} // namespace
