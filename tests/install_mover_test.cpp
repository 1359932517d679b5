// The file operations of installation on real folders under /tmp; failures
// the file system will not give on demand come from an injected rename.
#include "install/bundle_mover.h"
#include "tests/support/temp_dir.h"
#include "tests/support/reliability.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace KInstall;
using TestSupport::writeFile;

// The first rename answers first (EXDEV: another disk), later ones later
// (0: the real rename).
RenameFunction renames(int first, int later = 0)
{
    return [calls = std::make_shared<int>(0), first, later](const std::string &from, const std::string &to) {
        const int answer = (*calls)++ == 0 ? first : later;
        return answer ? answer : systemRename(from, to);
    };
}

// Everything a copy must keep: kinds, modes, link targets, contents, times.
std::map<std::string, std::string> snapshot(const fs::path &root)
{
    std::map<std::string, std::string> seen;
    std::vector<fs::path> paths = {root};
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        paths.push_back(it->path());
    for (const fs::path &path : paths) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        std::string &entry = seen[fs::relative(path, root).string()] = std::to_string(st.st_mode) + " ";
        if (S_ISLNK(st.st_mode))
            entry += "-> " + fs::read_symlink(path).string();
        else
            entry += std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode))
            entry += " " + TestSupport::readFile(path);
    }
    return seen;
}

std::set<std::string> namesIn(const fs::path &folder)
{
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// A bundle with everything a copy could lose.
class AcrossDisks : public testing::Test {
protected:
    AcrossDisks()
    {
        writeFile(source / "Contents/MacOS/Tessaron Helper", "#!/bin/sh\n");
        writeFile(source / "Contents/Private/key", "secret");
        writeFile(source / "Contents/Resources/AppIcon.icns", "icon");
        fs::create_directory_symlink("Resources", source / "Contents/Current");
        fs::create_symlink("/nowhere/at/all", source / "Contents/Dangling");
        for (const auto &[file, mode] : {std::pair{"MacOS/Tessaron Helper", 0755}, {"Private/key", 0600},
                 {"Private", 0700}, {"Resources/AppIcon.icns", 0444}, {"Resources", 0555}})
            fs::permissions(source / "Contents" / file, fs::perms(mode));
        fs::create_directories(parent);
    }
    // Read-only folders would outlive TempDir's plain removal.
    ~AcrossDisks() override { removeTree(dir.path()); }

    TestSupport::TempDir dir;
    fs::path source = fs::path(dir.path()) / "Downloads/Tessaron Helper.app";
    fs::path parent = fs::path(dir.path()) / "Application Support";
    fs::path target = parent / "Tessaron Helper.app";
};

// A failing rename into place comes after a whole copy, a pipe in the bundle
// stops the copy midway, any other failure of the first rename copies
// nothing: each leaves no half copy and the original whole. A move keeps
// modes, links and times, and the original goes.
TEST_F(AcrossDisks, CopiesWholeOrNotAtAll)
{
    const fs::path pipe = source / "Contents/Private/pipe";
    for (const auto &[first, final, withPipe] :
        {std::tuple{EXDEV, EIO, false}, {EACCES, 0, false}, {EXDEV, 0, true}, {EXDEV, 0, false}}) {
        if (withPipe)
            ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        else
            fs::remove(pipe);
        const auto before = snapshot(source);
        const bool moved = moveBundle(source.string(), target.string(), renames(first, final));
        EXPECT_EQ(moved, first == EXDEV && !final && !withPipe) << first << final << withPipe;
        EXPECT_EQ(snapshot(moved ? target : source), before);
        EXPECT_EQ(fs::exists(fs::symlink_status(source)), !moved);
        EXPECT_EQ(namesIn(parent), moved ? std::set<std::string>{"Tessaron Helper.app"} : std::set<std::string>{})
            << "nothing but the target, never a temporary copy";
    }
    TestSupport::recordTrial("a move across file systems failing at the first rename, at a pipe midway, at the last rename",
        "never a half copy beside the target; the original whole");
}

TEST(RemoveTree, RemovesReadOnlyFoldersAndLinksButNotWhatTheyPointTo)
{
    TestSupport::TempDir dir;
    const fs::path root = dir.path();
    writeFile(root / "kept/file", "kept");
    writeFile(root / "tree/locked/file", "x");
    fs::create_directory_symlink(root / "kept", root / "tree/link");
    fs::permissions(root / "tree/locked", fs::perms(0500));
    fs::create_directory_symlink(root / "kept", root / "alone");
    // A tree whose own entry cannot go is left whole, not emptied.
    writeFile(root / "fixed/tree/file", "x");
    fs::permissions(root / "fixed", fs::perms(0500));
    EXPECT_TRUE(::geteuid() == 0 || (!removeTree(root / "fixed/tree") && fs::exists(root / "fixed/tree/file")))
        << "permissions do not stop root";
    fs::permissions(root / "fixed", fs::perms(0700));
    for (const char *path : {"tree", "alone", "missing", "fixed"})
        EXPECT_TRUE(removeTree(root / path)) << path;
    EXPECT_EQ(namesIn(root), std::set<std::string>{"kept"});
    EXPECT_EQ(TestSupport::readFile(root / "kept/file"), "kept");
}

// The check sees through links: to a folder, dangling, or a linked container;
// a plain file is no folder.
TEST(SystemFileSystem, FollowsLinksAndTellsTheSameBundleByIdentity)
{
    TestSupport::TempDir dir;
    fs::create_directories(dir / "real/H.app");
    fs::create_directory_symlink(dir / "real", dir / "linked");
    fs::create_symlink("/nowhere", dir / "dangling");
    TestSupport::writeFile(dir / "plain", "");
    const InstallFileSystem system = systemFileSystem();
    EXPECT_TRUE(system.isDirectory(dir / "linked"));
    EXPECT_FALSE(system.isDirectory(dir / "plain"));
    EXPECT_TRUE(system.exists(dir / "dangling"));
    EXPECT_FALSE(system.isDirectory(dir / "dangling"));
    EXPECT_TRUE(system.isSameFile(dir / "linked/H.app", dir / "real/H.app"));
    EXPECT_FALSE(system.isSameFile(dir / "real/H.app", dir / "missing"));
    EXPECT_FALSE(system.isSameFile(dir / "real/H.app", dir / "real"));
}

// A move killed while copying leaves a hidden copy beside the target; the
// next installation removes exactly those, read-only folders and all.
TEST(StaleCopies, OnlyWhatAnInterruptedMoveLeftIsRemoved)
{
    TestSupport::TempDir dir;
    const std::string target = dir / "Tessaron Helper.app";
    writeFile(dir / ".Tessaron Helper.app.AbC123/Contents/MacOS/tessaron-helper", "half");
    fs::permissions(dir / ".Tessaron Helper.app.AbC123/Contents", fs::perms::owner_read | fs::perms::owner_exec);
    const std::vector<std::string> kept = {".Tessaron Helper.app.AbC1234", ".Tessaron Helper.app.ab_12c",
        ".Other.app.AbC123", "Tessaron Helper.app.AbC123"};
    for (const std::string &name : kept)
        fs::create_directories(dir / name);
    writeFile(dir / ".Tessaron Helper.app.XyZ789", "a file, not a copy");
    EXPECT_EQ(removeStaleCopies(target), 1);
    std::set<std::string> expected(kept.begin(), kept.end());
    expected.insert(".Tessaron Helper.app.XyZ789");
    EXPECT_EQ(namesIn(dir.path()), expected);
    EXPECT_EQ(removeStaleCopies(dir / "missing/Tessaron Helper.app"), 0);
    TestSupport::recordTrial("hidden partial copies left by a killed move", "removed those, and only those");
}

} // namespace
