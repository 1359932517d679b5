// The real launcher against bundles in a temporary folder whose program is
// the fake app: what it starts, how detached, and that it never blocks.
#include "core/bundle_info.h"
#include "platform/linux/launcher.h"
#include "tests/install_test_bundle.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using InstallTest::eventually;
using InstallTest::makeAppBundle;
using InstallTest::starts;

namespace {

namespace fs = std::filesystem;

// Processes running this very file, as the launcher must find them.
int running(const std::string &program)
{
    struct stat wanted;
    if (::stat(program.c_str(), &wanted) != 0)
        return 0;
    int count = 0;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        struct stat st;
        std::string exe = entry.path().string() + "/exe";
        if (::stat(exe.c_str(), &st) == 0 && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino)
            ++count;
    }
    return count;
}

class Launcher : public testing::Test {
protected:
    ~Launcher() override
    {
        Linux::waitForPendingLaunches(10s);
        // Lingering fake apps are ours: stopped by the ids they wrote.
        for (const std::string &bundle : bundles) {
            for (const auto &start : starts(bundle))
                ::kill(start.pid, SIGKILL);
        }
    }

    std::string bundle(const std::string &name, const std::string &executable = "Tessaron")
    {
        bundles.push_back(makeAppBundle(dir.path(), name, executable));
        return bundles.back();
    }

    TestSupport::TempDir dir;
    std::vector<std::string> bundles;
};

struct NameCase {
    const char *name;
    const char *bundle;
    const char *executable;
};

// A shell anywhere on the way would run these commands.
const NameCase kNames[] = {
    {"Plain", "Tessaron", "Tessaron"},
    {"Hostile", "It's \"Tessaron\" $(touch \"$HOME\"pwned) `touch \"$HOME\"pwned`; touch \"$HOME\"pwned",
        "Tessaron $(touch \"$HOME\"pwned) 'x'"},
};

class LaunchedName : public Launcher, public testing::WithParamInterface<NameCase> {};

TEST_P(LaunchedName, StartsTheProgramDetachedWithoutAShell)
{
    std::string home = dir.path() + "/";
    const char *savedHome = std::getenv("HOME");
    std::string saved = savedHome ? savedHome : "";
    ::setenv("HOME", home.c_str(), 1);
    std::string app = bundle(GetParam().bundle, GetParam().executable);

    Linux::launchApplicationNow(app, true, false);
    ASSERT_TRUE(Linux::waitForPendingLaunches(10s));
    ::setenv("HOME", saved.c_str(), 1);

    ASSERT_TRUE(eventually([&] { return !starts(app).empty(); }));
    auto start = starts(app).front();
    EXPECT_NE(start.session, ::getsid(0)) << "a session of its own";
    EXPECT_EQ(start.cwd, "/");
    EXPECT_EQ(start.stdinTarget, "/dev/null");
    EXPECT_FALSE(fs::exists(home + "pwned"));
}

INSTANTIATE_TEST_SUITE_P(Names, LaunchedName, testing::ValuesIn(kNames),
    [](const auto &info) { return std::string(info.param.name); });

struct InstanceCase {
    const char *name;
    bool createsNewInstance;
    int expected;
};

const InstanceCase kInstances[] = {
    {"OneWhenRunning", false, 1},
    {"AnotherWhenAsked", true, 2},
};

class Instances : public Launcher, public testing::WithParamInterface<InstanceCase> {};

TEST_P(Instances, ARunningProgramIsNotStartedAgainUnlessAsked)
{
    std::string app = bundle("Tessaron");
    std::string program = app + "/Contents/MacOS/Tessaron";
    InstallTest::writeText(app + "/Contents/MacOS/linger", "");

    Linux::launchApplicationNow(app, true, false);
    ASSERT_TRUE(Linux::waitForPendingLaunches(10s));
    // Waiting covers the exec: the program runs by now.
    EXPECT_EQ(running(program), 1);

    Linux::launchApplicationNow(app, true, GetParam().createsNewInstance);
    ASSERT_TRUE(Linux::waitForPendingLaunches(10s));
    EXPECT_EQ(running(program), GetParam().expected);
    EXPECT_TRUE(eventually([&] { return starts(app).size() == static_cast<std::size_t>(GetParam().expected); }));
}

INSTANTIATE_TEST_SUITE_P(Launch, Instances, testing::ValuesIn(kInstances),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Launcher, NeverBlocksTheCaller)
{
    // The Info.plist is a pipe nobody writes yet: reading it blocks.
    std::string app = bundle("Tessaron");
    fs::remove(app + "/Contents/Info.plist");
    ASSERT_EQ(::mkfifo((app + "/Contents/Info.plist").c_str(), 0600), 0);

    std::atomic<bool> returned{false};
    std::thread caller([&] {
        Linux::launchApplicationNow(app, true, false);
        returned = true;
    });
    EXPECT_TRUE(eventually([&] { return returned.load(); }));
    EXPECT_FALSE(Linux::waitForPendingLaunches(0ms)) << "the launch is still pending";

    InstallTest::writeText(app + "/Contents/Info.plist", InstallTest::infoPlist("Tessaron"));
    caller.join();
    EXPECT_TRUE(Linux::waitForPendingLaunches(10s));
    EXPECT_TRUE(eventually([&] { return !starts(app).empty(); }));
}

TEST_F(Launcher, StartsTheProgramEvenWhenTheCallerExitsRightAfter)
{
    std::string app = bundle("Tessaron");
    TestSupport::Process caller;
    ASSERT_TRUE(caller.start({TESSARON_INSTALL_HARNESS, "launch-and-exit", app}) && caller.wait(20s));
    EXPECT_EQ(caller.exitCode(), 0) << caller.err();
    EXPECT_EQ(caller.out(), "waited=1\n");
    EXPECT_TRUE(eventually([&] { return starts(app).size() == 1; }));
}

TEST_F(Launcher, NothingHappensForWhatCannotBeStarted)
{
    std::string broken = bundle("Broken");
    fs::permissions(broken + "/Contents/MacOS/Tessaron", fs::perms(0644));
    for (const std::string &path : {dir.path() + "/Missing.app", broken}) {
        Linux::launchApplicationNow(path, true, true);
        EXPECT_TRUE(Linux::waitForPendingLaunches(10s)) << path;
    }
    EXPECT_TRUE(starts(broken).empty());
}

struct ExecutableCase {
    const char *name;
    const char *plist; // empty: no Info.plist
    const char *expected;
};

const ExecutableCase kExecutables[] = {
    {"Named", "<plist><dict><key>CFBundleExecutable</key><string>Tessaron</string></dict></plist>",
        "/Contents/MacOS/Tessaron"},
    {"Missing", "<plist><dict><key>CFBundleName</key><string>Tessaron</string></dict></plist>", ""},
    {"LeadsOut", "<plist><dict><key>CFBundleExecutable</key><string>../../../bin/sh</string></dict></plist>", ""},
    {"NoInfoPlist", "", ""},
};

class Executable : public testing::TestWithParam<ExecutableCase> {};

TEST_P(Executable, IsAPlainNameInsideContentsMacOS)
{
    TestSupport::TempDir dir;
    std::string app = dir / "T.app";
    if (*GetParam().plist)
        InstallTest::writeText(app + "/Contents/Info.plist", GetParam().plist);
    std::string expected = *GetParam().expected ? app + GetParam().expected : "";
    EXPECT_EQ(KCore::bundleExecutablePath(app), expected);
}

INSTANTIATE_TEST_SUITE_P(Launch, Executable, testing::ValuesIn(kExecutables),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Running, FindsRunningProgramsByTheirFile)
{
    TestSupport::TempDir dir;
    std::string self = fs::read_symlink("/proc/self/exe").string();
    fs::create_symlink(self, dir / "link");
    fs::copy_file(TESSARON_FAKE_APP, dir / "copy");
    EXPECT_TRUE(Linux::isExecutableRunning(self));
    EXPECT_TRUE(Linux::isExecutableRunning(dir / "link"));
    EXPECT_FALSE(Linux::isExecutableRunning(dir / "copy"));
    EXPECT_FALSE(Linux::isExecutableRunning(dir / "missing"));
}

} // namespace
