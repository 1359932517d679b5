// The names, places and messages of installation, and the check's decisions
// over a file system of paths, as tables.
#include "install/install_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

using namespace KInstall;

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

} // namespace
