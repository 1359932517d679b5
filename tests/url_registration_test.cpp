// The helper's URL scheme registered with the desktop: the texts as tables,
// then the files in a temporary home.
#include "install/url_registration.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using KInstall::desktopExecArgument;
using KInstall::mimeappsWithDefault;
using TestSupport::readFile;
using TestSupport::writeFile;

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

TEST(DesktopEntry, NamesTheProgramByItsAbsolutePathWithTheURLAndNoShell)
{
    EXPECT_EQ(KInstall::desktopEntryFor("/h/Application Support/Tessaron Helper.app/Contents/MacOS/tessaron-helper",
                  "Tessaron Helper"),
        "[Desktop Entry]\nType=Application\nName=Tessaron Helper\n"
        "Exec=\"/h/Application Support/Tessaron Helper.app/Contents/MacOS/tessaron-helper\" %u\n"
        "NoDisplay=true\nTerminal=false\nMimeType=x-scheme-handler/tessaron-helper;\n"
        "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    EXPECT_EQ(KInstall::desktopEntryFor("relative/helper", "H"), std::nullopt);
    EXPECT_EQ(KInstall::desktopEntryFor("/a/b\nc", "H"), std::nullopt);
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
    auto places = KInstall::registrationPlaces("/home/u", nullptr, "relative");
    EXPECT_EQ(places.applications, "/home/u/.local/share/applications");
    EXPECT_EQ(places.config, "/home/u/.config");
    places = KInstall::registrationPlaces("", "/data", "/config");
    EXPECT_EQ(places.applications, "/data/applications");
    EXPECT_EQ(places.config, "/config");
    places = KInstall::registrationPlaces("relative", nullptr, nullptr);
    EXPECT_EQ(places.applications + places.config, "");
}

class Registration : public testing::Test {
protected:
    bool run() { return KInstall::registerURLHandler(program, "Tessaron Helper", "pro.tessaron.helper.desktop", places); }
    std::string entry() { return readFile(places.applications + "/pro.tessaron.helper.desktop"); }
    std::string list() { return readFile(places.config + "/mimeapps.list"); }

    TestSupport::TempDir dir;
    KInstall::RegistrationPlaces places{dir / "share/applications", dir / "config"};
    const std::string program = "/opt/Tessaron Helper.app/Contents/MacOS/tessaron-helper";
};

TEST_F(Registration, WritesBothOnceKeepsTheUsersLinesAndFollowsALink)
{
    writeFile(dir / "dotfiles/mimeapps.list", "[Default Applications]\ntext/html=b.desktop;\n");
    std::filesystem::create_directories(places.config);
    std::filesystem::create_symlink(dir / "dotfiles/mimeapps.list", places.config + "/mimeapps.list");
    ASSERT_TRUE(run());
    EXPECT_EQ(entry(), *KInstall::desktopEntryFor(program, "Tessaron Helper"));
    EXPECT_EQ(list(), "[Default Applications]\ntext/html=b.desktop;\n"
                      "x-scheme-handler/tessaron-helper=pro.tessaron.helper.desktop;\n");
    EXPECT_TRUE(std::filesystem::is_symlink(places.config + "/mimeapps.list"));
    // In place already: nothing is written again.
    struct stat before, after;
    ASSERT_EQ(::stat((places.applications + "/pro.tessaron.helper.desktop").c_str(), &before), 0);
    ASSERT_TRUE(run());
    ASSERT_EQ(::stat((places.applications + "/pro.tessaron.helper.desktop").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(places.applications), {}), 1);
}

TEST_F(Registration, AFailureLeavesEverythingAsItWas)
{
    // A malformed list is not touched, whatever else was written.
    writeFile(places.config + "/mimeapps.list", "garbage\n");
    EXPECT_FALSE(run());
    EXPECT_EQ(list(), "garbage\n");
    // A folder that cannot be written: no entry, and the list untouched.
    writeFile(places.config + "/mimeapps.list", "[Default Applications]\n");
    std::filesystem::remove_all(places.applications);
    writeFile(places.applications, "a file where the folder should be");
    EXPECT_FALSE(run());
    EXPECT_EQ(list(), "[Default Applications]\n");
}

} // namespace
