// Installation's rules as tables over a file system of paths, then the
// moves and the URL registration on real folders under /tmp; failures the
// file system will not give on demand come from an injected rename.
#include "install/bundle_mover.h"
#include "install/install_rules.h"
#include "install/url_registration.h"
#include "harness/temp_dir.h"
#include "tests/support/reliability.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace KInstall;
using Harness::readFile;
using Harness::writeFile;

TEST(Rules, NamesAndPlacesComeFromTheHelpersBundleAndHome)
{
    for (const auto &[helperName, bundleId, appName, container] : {
             std::tuple{"Tessaron Helper", "pro.tessaron.helper", "Tessaron", "/Users/u/Library/Containers/pro.tessaron"},
             {"Tessaron", "pro.tessaron", "Tessaron", "/Users/u/Library/Containers/pro.tessaron"},
             {"Tessaron Helper Helper", "pro.tessaron.helper.helper", "Tessaron Helper",
                 "/Users/u/Library/Containers/pro.tessaron.helper"},
             {"Tessaron helper", "pro.tessaron.Helper", "Tessaron helper", "/Users/u/Library/Containers/pro.tessaron.Helper"},
             {" Helper", ".helper", "", ""},
         }) {
        EXPECT_EQ(containerAppNameFor(helperName), appName) << helperName;
        EXPECT_EQ(containerInstallPathFor(bundleId, "/Users/u"), container) << bundleId;
    }
    // Only a leading tilde is expanded, and only with an absolute home.
    for (const auto &[path, home, expanded] : {std::tuple{"~/Library", "/home/u", "/home/u/Library"},
             {"~/Library", "/home/u/", "/home/u/Library"}, {"~", "/home/u", "/home/u"}, {"~/Library", "/", "/Library"},
             {"~/Library", "", ""}, {"~/Library", "home/u", ""}, {"/Applications", "", "/Applications"},
             {"~bob/Library", "/home/u", "~bob/Library"}})
        EXPECT_EQ(expandTilde(path, home), expanded) << path << " with " << home;
    // Either part missing must never aim at Application Support itself.
    for (const auto &[container, bundle, complete] : {std::tuple{"/Users/u/Library/Containers/pro.tessaron",
             "/Users/u/Downloads/Tessaron Helper.app",
             "/Users/u/Library/Containers/pro.tessaron/Data/Library/Application Support/Tessaron Helper.app"},
             {"/c/", "/d/Tessaron Helper.app//", "/c/Data/Library/Application Support/Tessaron Helper.app"},
             {"/c", "", ""}, {"/c", "/", ""}, {"", "/d/Tessaron Helper.app", ""}})
        EXPECT_EQ(completeInstallPathFor(container, bundleFileNameFor(bundle)), complete) << container << bundle;
    // The outcomes the installation flow cannot reach; it shows the others.
    EXPECT_EQ(installMessage(RemoveFailed, "Tessaron", "Tessaron Helper"),
        "Please quit 'Tessaron' and run this helper again to complete the installation. If that doesn't help, please "
        "report the issue to support@tessaron.pro.");
    EXPECT_EQ(installMessage(MoveFailed, "Tessaron", "Tessaron Helper"),
        "Installation failed. Please quit 'Tessaron' and run this helper again to complete the installation. If the "
        "problem persists, please report it to support@tessaron.pro.");
    EXPECT_EQ(installMessage(6, "Tessaron", "Tessaron Helper"), "");
}

// Folders end in "/"; B is the running bundle, T the target, S its folder,
// P the main app.
TEST(Rules, TheCheckMovesTheBundleOnlyWhenItShould)
{
    const std::string P = "/A/Tessaron.app/", S = "/c/Support/", T = S + "H.app/", B = "/d/H.app/";
    const struct {
        const char *name;
        std::set<std::string> before;
        std::string bundle, target;
        bool same, removeFails, moveFails;
        int result;
        std::set<std::string> after;
    } cases[] = {
        {"ProductMissing", {S, B}, B, T, false, false, false, ProductMissing, {S, B}},
        {"MainAppNeverStarted", {P, B}, B, T, false, false, false, ProductMissing, {P, B}},
        {"NoHome", {P, S, T, B}, B, "", false, false, false, Unknown, {P, S, T, B}},
        {"NoBundle", {P, S}, "", T, false, false, false, Unknown, {P, S}},
        {"FreshInstall", {P, S, B}, B, T, false, false, false, Installed, {P, S, T}},
        {"EarlierCopyReplaced", {P, S, T, B}, B, T, false, false, false, Installed, {P, S, T}},
        {"AlreadyInstalled", {P, S, T}, T, T, false, false, false, AlreadyInstalled, {P, S, T}},
        // Reached through a link or another spelling: never removed.
        {"AlreadyInstalledByIdentity", {P, S, T, B}, B, T, true, false, false, AlreadyInstalled, {P, S, T, B}},
        {"EarlierCopyCannotBeRemoved", {P, S, T, B}, B, T, false, true, false, RemoveFailed, {P, S, T, B}},
        {"MoveFails", {P, S, B}, B, T, false, false, true, MoveFailed, {P, S, B}},
        {"MoveFailsAfterTheEarlierCopyWent", {P, S, T, B}, B, T, false, false, true, MoveFailed, {P, S, B}},
    };
    for (const auto &c : cases) {
        std::set<std::string> paths = c.before;
        const auto folder = [&](const std::string &path) { return paths.count(path + "/") > 0; };
        InstallFileSystem fs;
        fs.isDirectory = folder;
        fs.exists = [&](const std::string &path) { return paths.count(path) || folder(path); };
        fs.isSameFile = [&](const std::string &, const std::string &) { return c.same; };
        fs.removeAll = [&](const std::string &path) { return !c.removeFails && paths.erase(path + "/"); };
        fs.move = [&](const std::string &from, const std::string &to) {
            return !c.moveFails && paths.erase(from + "/") && paths.insert(to + "/").second;
        };
        const auto bare = [](const std::string &path) { return path.empty() ? path : path.substr(0, path.size() - 1); };
        EXPECT_EQ(ensureInstalled(bare(c.bundle), bare(c.target), bare(P), fs), c.result) << c.name;
        EXPECT_EQ(paths, c.after) << c.name;
    }
}

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
            entry += " " + Harness::readFile(path);
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

    Harness::TempDir dir;
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
    Harness::TempDir dir;
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
    EXPECT_EQ(Harness::readFile(root / "kept/file"), "kept");
}

// The check sees through links: to a folder, dangling, or a linked container;
// a plain file is no folder.
TEST(SystemFileSystem, FollowsLinksAndTellsTheSameBundleByIdentity)
{
    Harness::TempDir dir;
    fs::create_directories(dir / "real/H.app");
    fs::create_directory_symlink(dir / "real", dir / "linked");
    fs::create_symlink("/nowhere", dir / "dangling");
    Harness::writeFile(dir / "plain", "");
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
    Harness::TempDir dir;
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

TEST(DesktopExec, QuotedEscapedAndPercentDoubledAsDesktopEntriesWant)
{
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"/opt/helper", "/opt/helper"},
        {"/home/a/Application Support/H.app/h", "\"/home/a/Application Support/H.app/h\""},
        {"/a/$HOME/`x`", "\"/a/\\\\$HOME/\\\\`x\\\\`\""},
        {"/a/\"q\"", "\"/a/\\\\\"q\\\\\"\""},
        {"/a\\b", "\"/a\\\\\\\\b\""},
        {"/a/100%", "/a/100%%"},
        {"/a/it's", "\"/a/it's\""},
        {"", "\"\""},
        {"/a/line\nbreak", std::nullopt},
        {"/a/\x7f", std::nullopt},
    };
    for (const auto &[argument, expected] : cases)
        EXPECT_EQ(desktopExecArgument(argument), expected) << argument;
}

TEST(MimeApps, TheDefaultIsSetAndEveryOtherLineKept)
{
    const std::string ours = "x-scheme-handler/tessaron-helper=pro.tessaron.helper.desktop;";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", "[Default Applications]\n" + ours + "\n"},
        {"# mine\n[Added Associations]\ntext/plain=a.desktop;\n",
            "# mine\n[Added Associations]\ntext/plain=a.desktop;\n\n[Default Applications]\n" + ours + "\n"},
        {"[Default Applications]\ntext/html=b.desktop;\n\n[Added Associations]\nx=y\n",
            "[Default Applications]\ntext/html=b.desktop;\n" + ours + "\n\n[Added Associations]\nx=y\n"},
        {"[Default Applications]\nx-scheme-handler/tessaron-helper = other.desktop;\ntext/html=b.desktop;\n",
            "[Default Applications]\n" + ours + "\ntext/html=b.desktop;\n"},
        // Our key in another group is not the default: left alone.
        {"[Added Associations]\nx-scheme-handler/tessaron-helper=other.desktop;",
            "[Added Associations]\nx-scheme-handler/tessaron-helper=other.desktop;\n\n[Default Applications]\n"
                + ours + "\n"},
        {"[Default Applications]\n" + ours + "\n", "[Default Applications]\n" + ours + "\n"},
        {"not a key file\n", std::nullopt},
        {"[Default Applications\n", std::nullopt},
        {std::string("[Default Applications]\na=b\0c\n", 28), std::nullopt},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(mimeappsWithDefault(text, "pro.tessaron.helper.desktop"), expected) << text;
}

TEST(RegistrationPlaces, XDGFoldersWhenAbsoluteElseUnderHome)
{
    for (const auto &[home, data, config, expected] :
        {std::tuple<const char *, const char *, const char *, const char *>{"/home/u", nullptr, "relative",
             "/home/u/.local/share/applications /home/u/.config"},
            {"", "/data", "/config", "/data/applications /config"}, {"relative", nullptr, nullptr, " "}}) {
        const RegistrationPlaces places = registrationPlaces(home, data, config);
        EXPECT_EQ(places.applications + " " + places.config, expected) << home;
    }
}

// The entry names the program by its absolute path, with the URL and no
// shell; a failure leaves everything of the user's as it was.
TEST(Registration, WritesWhatIsMissingKeepsTheUsersLinesAndFollowsALink)
{
    Harness::TempDir dir;
    const RegistrationPlaces places{dir / "share/applications", dir / "config"};
    const std::string entry = places.applications + "/pro.tessaron.helper.desktop",
                      list = places.config + "/mimeapps.list";
    const auto run = [&](const std::string &program = "/opt/Tessaron Helper.app/Contents/MacOS/tessaron-helper") {
        return registerURLHandler(program, "Tessaron Helper", "pro.tessaron.helper.desktop", places);
    };
    const auto inode = [&] {
        struct stat st = {};
        return ::stat(entry.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    EXPECT_FALSE(run("relative/helper"));
    EXPECT_FALSE(fs::exists(places.applications));
    // A malformed list is not touched, whatever else was written.
    writeFile(list, "garbage\n");
    EXPECT_FALSE(run());
    EXPECT_EQ(readFile(list), "garbage\n");
    writeFile(dir / "dotfiles/mimeapps.list", "[Default Applications]\ntext/html=b.desktop;\n");
    fs::remove(list);
    fs::create_symlink(dir / "dotfiles/mimeapps.list", list);
    ASSERT_TRUE(run());
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\nType=Application\nName=Tessaron Helper\n"
                               "Exec=\"/opt/Tessaron Helper.app/Contents/MacOS/tessaron-helper\" %u\n"
                               "NoDisplay=true\nTerminal=false\nMimeType=x-scheme-handler/tessaron-helper;\n"
                               "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    EXPECT_EQ(readFile(list), "[Default Applications]\ntext/html=b.desktop;\n"
                              "x-scheme-handler/tessaron-helper=pro.tessaron.helper.desktop;\n");
    EXPECT_TRUE(fs::is_symlink(list));
    // In place already: nothing is written again.
    const auto before = inode();
    ASSERT_TRUE(run());
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(namesIn(places.applications), std::set<std::string>{"pro.tessaron.helper.desktop"});
    // A folder that cannot be written: no entry, and the list untouched.
    writeFile(list, "[Default Applications]\n");
    fs::remove_all(places.applications);
    writeFile(places.applications, "a file where the folder should be");
    EXPECT_FALSE(run());
    EXPECT_EQ(readFile(list), "[Default Applications]\n");
}

} // namespace
