// The installation check and the bundle move on real folders under /tmp;
// failures the file system will not give on demand come from injected
// operations.
#include "install/bundle_mover.h"
#include "tests/install_test_bundle.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace KInstall;
using InstallTest::readText;
using InstallTest::writeText;

// Which copy a bundle is, read back from inside it.
void makeBundle(const fs::path &bundle, const std::string &which)
{
    writeText(bundle / "Contents/Info.plist", "<plist/>");
    writeText(bundle / "Contents/Resources/which", which);
}

std::string whichAt(const fs::path &bundle)
{
    return readText(bundle / "Contents/Resources/which");
}

// The first rename answers first (EXDEV: another disk), later ones later
// (0: the real rename).
RenameFunction renames(int first, int later = 0)
{
    auto calls = std::make_shared<int>(0);
    return [calls, first, later](const std::string &from, const std::string &to) {
        int answer = (*calls)++ == 0 ? first : later;
        return answer ? answer : systemRename(from, to);
    };
}

// Everything a copy must keep: kinds, modes, link targets, contents, times.
std::map<std::string, std::string> snapshot(const fs::path &root)
{
    std::map<std::string, std::string> seen;
    std::error_code error;
    std::vector<fs::path> paths = {root};
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        paths.push_back(it->path());
    for (const fs::path &path : paths) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        std::string entry = std::to_string(st.st_mode) + " ";
        if (S_ISLNK(st.st_mode))
            entry += "-> " + fs::read_symlink(path).string();
        else
            entry += std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            entry += " " + readText(path);
        seen[fs::relative(path, root).string()] = entry;
    }
    return seen;
}

std::vector<std::string> namesIn(const fs::path &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

enum class Product { None, PlainFile, Folder };
enum class Fault { None, RemoveFails, MoveFails, ReadOnlySupport };

struct DecisionCase {
    const char *name;
    Product product;
    bool appSupport;
    bool homeSet;
    bool linkedContainer;  // the container folder is a symbolic link
    bool runsFromTarget;   // the running bundle is already in place
    bool earlierCopy;
    Fault fault;
    int expected;
    const char *leftInDownloads; // "running" or "" (gone)
    const char *leftAtTarget;    // "running", "earlier" or "" (absent)
};

const DecisionCase kDecisions[] = {
    {"ProductMissing", Product::None, true, true, false, false, false, Fault::None, ProductMissing, "running", ""},
    {"ProductIsAPlainFile", Product::PlainFile, true, true, false, false, false, Fault::None, ProductMissing,
        "running", ""},
    {"MainAppNeverStarted", Product::Folder, false, true, false, false, false, Fault::None, ProductMissing,
        "running", ""},
    {"NoHome", Product::Folder, true, false, false, false, true, Fault::None, Unknown, "running", "earlier"},
    {"FreshInstall", Product::Folder, true, true, false, false, false, Fault::None, Installed, "", "running"},
    {"EarlierCopyReplaced", Product::Folder, true, true, false, false, true, Fault::None, Installed, "", "running"},
    {"AlreadyInstalled", Product::Folder, true, true, false, true, false, Fault::None, AlreadyInstalled, "",
        "running"},
    {"AlreadyInstalledThroughALinkedContainer", Product::Folder, true, true, true, true, false, Fault::None,
        AlreadyInstalled, "", "running"},
    {"EarlierCopyCannotBeRemoved", Product::Folder, true, true, false, false, true, Fault::RemoveFails,
        RemoveFailed, "running", "earlier"},
    {"EarlierCopyInAReadOnlyFolder", Product::Folder, true, true, false, false, true, Fault::ReadOnlySupport,
        RemoveFailed, "running", "earlier"},
    {"MoveFails", Product::Folder, true, true, false, false, false, Fault::MoveFails, MoveFailed, "running", ""},
    {"MoveFailsAfterTheEarlierCopyWent", Product::Folder, true, true, false, false, true, Fault::MoveFails,
        MoveFailed, "running", ""},
};

class Decision : public testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, MovesTheBundleOnlyWhenItShould)
{
    const DecisionCase &c = GetParam();
    if (c.fault == Fault::ReadOnlySupport && ::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    TestSupport::TempDir dir;
    fs::path root = dir.path();
    fs::path home = root / "home";
    fs::path container = home / "Library/Containers/pro.tessaron";
    fs::path realContainer = c.linkedContainer ? root / "elsewhere" : container;
    fs::create_directories(realContainer);
    fs::create_directories(container.parent_path());
    if (c.linkedContainer)
        fs::create_directory_symlink(realContainer, container);
    fs::path support = realContainer / "Data/Library/Application Support";
    if (c.appSupport)
        fs::create_directories(support);
    fs::path product = root / "Applications/Tessaron.app";
    if (c.product == Product::Folder)
        fs::create_directories(product);
    else if (c.product == Product::PlainFile)
        writeText(product, "not a bundle");

    // The running bundle's path is resolved, as /proc/self/exe gives it.
    fs::path downloads = root / "Downloads/Tessaron Helper.app";
    fs::path installed = support / "Tessaron Helper.app";
    fs::path running = c.runsFromTarget ? installed : downloads;
    makeBundle(running, "running");
    if (c.earlierCopy)
        makeBundle(installed, "earlier");
    std::string target = completeInstallPathFor(
        containerInstallPathFor("pro.tessaron.helper", c.homeSet ? home.string() : ""), "Tessaron Helper.app");

    InstallFileSystem system = systemFileSystem(c.fault == Fault::MoveFails ? renames(EIO, EIO) : systemRename);
    if (c.fault == Fault::RemoveFails)
        system.removeAll = [](const std::string &) { return false; };
    if (c.fault == Fault::ReadOnlySupport)
        fs::permissions(support, fs::perms::owner_read | fs::perms::owner_exec);

    EXPECT_EQ(ensureInstalled(running.string(), target, product.string(), system), c.expected);
    if (c.fault == Fault::ReadOnlySupport)
        fs::permissions(support, fs::perms::owner_all);
    EXPECT_EQ(whichAt(downloads), c.leftInDownloads);
    EXPECT_EQ(whichAt(installed), c.leftAtTarget);
}

INSTANTIATE_TEST_SUITE_P(Install, Decision, testing::ValuesIn(kDecisions),
    [](const auto &info) { return std::string(info.param.name); });

// A bundle with everything a copy could lose.
class AcrossDisks : public testing::Test {
protected:
    AcrossDisks()
    {
        writeText(source / "Contents/MacOS/Tessaron Helper", "#!/bin/sh\n");
        writeText(source / "Contents/Info.plist", "<plist/>");
        writeText(source / "Contents/Private/key", "secret");
        writeText(source / "Contents/Resources/AppIcon.icns", "icon");
        fs::create_directory_symlink("Resources", source / "Contents/Current");
        fs::create_symlink("/nowhere/at/all", source / "Contents/Dangling");
        fs::permissions(source / "Contents/MacOS/Tessaron Helper", fs::perms(0755));
        fs::permissions(source / "Contents/Private/key", fs::perms(0600));
        fs::permissions(source / "Contents/Private", fs::perms(0700));
        fs::permissions(source / "Contents/Resources/AppIcon.icns", fs::perms(0444));
        fs::permissions(source / "Contents/Resources", fs::perms(0555));
        fs::create_directories(parent);
        before = snapshot(source);
    }
    // Read-only folders would outlive TempDir's plain removal.
    ~AcrossDisks() override { removeTree(dir.path()); }

    TestSupport::TempDir dir;
    fs::path source = fs::path(dir.path()) / "Downloads/Tessaron Helper.app";
    fs::path parent = fs::path(dir.path()) / "Application Support";
    fs::path target = parent / "Tessaron Helper.app";
    std::map<std::string, std::string> before;
};

TEST_F(AcrossDisks, CopiesKeepingModesLinksAndTimesThenRemovesTheOriginal)
{
    ASSERT_TRUE(moveBundle(source.string(), target.string(), renames(EXDEV)));
    EXPECT_EQ(snapshot(target), before);
    EXPECT_FALSE(fs::exists(fs::symlink_status(source)));
    EXPECT_EQ(namesIn(parent), std::vector<std::string>{"Tessaron Helper.app"}) << "no temporary copy left";
}

struct MoveFault {
    const char *name;
    int firstRename;       // EXDEV: the copy is tried
    bool unsupportedEntry; // a pipe in the bundle stops the copy midway
    int finalRename;       // errno of the rename into place, 0 for success
};

const MoveFault kMoveFaults[] = {
    {"CopyFailsMidway", EXDEV, true, 0},
    {"RenameIntoPlaceFails", EXDEV, false, EIO},
    {"OtherRenameFailuresCopyNothing", EACCES, false, 0},
};

class AcrossDisksFailing : public AcrossDisks, public testing::WithParamInterface<MoveFault> {};

TEST_P(AcrossDisksFailing, LeavesNoHalfCopyAndKeepsTheOriginal)
{
    if (GetParam().unsupportedEntry) {
        ASSERT_EQ(::mkfifo((source / "Contents/Private/pipe").c_str(), 0600), 0);
        before = snapshot(source);
    }
    EXPECT_FALSE(moveBundle(source.string(), target.string(), renames(GetParam().firstRename, GetParam().finalRename)));
    EXPECT_EQ(snapshot(source), before);
    EXPECT_TRUE(namesIn(parent).empty()) << "neither target nor temporary copy";
}

INSTANTIATE_TEST_SUITE_P(Install, AcrossDisksFailing, testing::ValuesIn(kMoveFaults),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RemoveTree, RemovesReadOnlyFoldersAndLinksButNotWhatTheyPointTo)
{
    TestSupport::TempDir dir;
    fs::path root = dir.path();
    writeText(root / "kept/file", "kept");
    writeText(root / "tree/locked/file", "x");
    fs::create_directory_symlink(root / "kept", root / "tree/link");
    fs::permissions(root / "tree/locked", fs::perms(0500));
    fs::create_directory_symlink(root / "kept", root / "alone");

    EXPECT_TRUE(removeTree((root / "tree").string()));
    EXPECT_TRUE(removeTree((root / "alone").string()));
    EXPECT_TRUE(removeTree((root / "missing").string()));
    EXPECT_EQ(namesIn(root), std::vector<std::string>{"kept"});
    EXPECT_EQ(readText(root / "kept/file"), "kept");
}

} // namespace
