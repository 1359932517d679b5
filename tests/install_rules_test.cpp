// The names, places and messages of installation, as tables.
#include "install/install_rules.h"

#include <gtest/gtest.h>

namespace {

using namespace KInstall;

struct NameCase {
    const char *name;
    const char *helperName;
    const char *bundleId;
    const char *appName;
    const char *containerPath; // with HOME /Users/u
};

const NameCase kNames[] = {
    {"Standard", "Tessaron Helper", "pro.tessaron.helper", "Tessaron", "/Users/u/Library/Containers/pro.tessaron"},
    {"NoSuffixes", "Tessaron", "pro.tessaron", "Tessaron", "/Users/u/Library/Containers/pro.tessaron"},
    {"SuffixOnlyOnce", "Tessaron Helper Helper", "pro.tessaron.helper.helper", "Tessaron Helper",
        "/Users/u/Library/Containers/pro.tessaron.helper"},
    {"CaseMatters", "Tessaron helper", "pro.tessaron.Helper", "Tessaron helper",
        "/Users/u/Library/Containers/pro.tessaron.Helper"},
    {"NameIsTheSuffix", " Helper", ".helper", "", ""},
};

class Names : public testing::TestWithParam<NameCase> {};

TEST_P(Names, MainAppNameAndContainerComeFromTheHelpersBundle)
{
    EXPECT_EQ(containerAppNameFor(GetParam().helperName), GetParam().appName);
    EXPECT_EQ(containerInstallPathFor(GetParam().bundleId, "/Users/u"), GetParam().containerPath);
}

INSTANTIATE_TEST_SUITE_P(Rules, Names, testing::ValuesIn(kNames),
    [](const auto &info) { return std::string(info.param.name); });

struct TildeCase {
    const char *name;
    const char *path;
    const char *home;
    const char *expanded;
};

const TildeCase kTildes[] = {
    {"Home", "~/Library", "/home/u", "/home/u/Library"},
    {"HomeWithTrailingSlash", "~/Library", "/home/u/", "/home/u/Library"},
    {"TildeAlone", "~", "/home/u", "/home/u"},
    {"RootHome", "~/Library", "/", "/Library"},
    {"MissingHome", "~/Library", "", ""},
    {"RelativeHome", "~/Library", "home/u", ""},
    {"AbsolutePathNeedsNoHome", "/Applications", "", "/Applications"},
    {"OtherUsersTildeKept", "~bob/Library", "/home/u", "~bob/Library"},
};

class Tilde : public testing::TestWithParam<TildeCase> {};

TEST_P(Tilde, ExpandsOnlyALeadingTilde)
{
    EXPECT_EQ(expandTilde(GetParam().path, GetParam().home), GetParam().expanded);
}

INSTANTIATE_TEST_SUITE_P(Rules, Tilde, testing::ValuesIn(kTildes),
    [](const auto &info) { return std::string(info.param.name); });

struct PlaceCase {
    const char *name;
    const char *container;
    const char *bundlePath;
    const char *complete;
};

const PlaceCase kPlaces[] = {
    {"Downloads", "/Users/u/Library/Containers/pro.tessaron", "/Users/u/Downloads/Tessaron Helper.app",
        "/Users/u/Library/Containers/pro.tessaron/Data/Library/Application Support/Tessaron Helper.app"},
    {"TrailingSlashes", "/c/", "/d/Tessaron Helper.app//", "/c/Data/Library/Application Support/Tessaron Helper.app"},
    // Either part missing must never aim at Application Support itself.
    {"NoBundle", "/c", "", ""},
    {"BundleIsRoot", "/c", "/", ""},
    {"NoContainer", "", "/d/Tessaron Helper.app", ""},
};

class Places : public testing::TestWithParam<PlaceCase> {};

TEST_P(Places, TheInstalledPlaceIsInTheContainersApplicationSupport)
{
    EXPECT_EQ(completeInstallPathFor(GetParam().container, bundleFileNameFor(GetParam().bundlePath)),
        GetParam().complete);
}

INSTANTIATE_TEST_SUITE_P(Rules, Places, testing::ValuesIn(kPlaces),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Rules, ProductPathAndTitle)
{
    EXPECT_EQ(productAppBundlePathFor("/Applications", "Tessaron"), "/Applications/Tessaron.app");
    EXPECT_EQ(installAlertTitle("Tessaron Helper", "1.2", "34"), "Tessaron Helper v1.2 (34)");
}

struct MessageCase {
    const char *name;
    int result;
    const char *text;
};

const MessageCase kMessages[] = {
    {"Unknown", Unknown, "An unknown error occurred. Please report this to support@tessaron.pro."},
    {"ProductMissing", ProductMissing,
        "Tessaron is not installed. Please download it from the Mac App Store, launch it at least once, then run "
        "this helper again."},
    {"RemoveFailed", RemoveFailed,
        "Please quit 'Tessaron' and run this helper again to complete the installation. If that doesn't help, "
        "please report the issue to support@tessaron.pro."},
    {"MoveFailed", MoveFailed,
        "Installation failed. Please quit 'Tessaron' and run this helper again to complete the installation. If "
        "the problem persists, please report it to support@tessaron.pro."},
    {"Installed", Installed, "Tessaron Helper has been installed into the Tessaron app container."},
    {"AlreadyInstalled", AlreadyInstalled, ""},
    {"Beyond", 6, ""},
};

class Messages : public testing::TestWithParam<MessageCase> {};

TEST_P(Messages, EachResultHasItsTextOrNone)
{
    EXPECT_EQ(installMessage(GetParam().result, "Tessaron", "Tessaron Helper"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Rules, Messages, testing::ValuesIn(kMessages),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
