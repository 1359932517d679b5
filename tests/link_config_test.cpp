#include "network/link_config.h"
#include "platform/seam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace {

// Sets HOME (or removes it) for one test and puts the old value back.
class ScopedHome {
public:
    explicit ScopedHome(const char *value)
    {
        if (const char *old = std::getenv("HOME"))
            saved = old;
        if (value)
            ::setenv("HOME", value, 1);
        else
            ::unsetenv("HOME");
    }
    ~ScopedHome()
    {
        if (saved)
            ::setenv("HOME", saved->c_str(), 1);
        else
            ::unsetenv("HOME");
    }

private:
    std::optional<std::string> saved;
};

struct Uuid : Platform::Seam {
    std::string uuid;
    std::string platformUUID() override { return uuid; }
};

TEST(GroupContainer, IsUnderHomeLibraryGroupContainers)
{
    ScopedHome home("/home/ada");
    EXPECT_EQ(KNetwork::groupContainerPath("group.pro.tessaron.shared"),
              "/home/ada/Library/Group Containers/group.pro.tessaron.shared");
    EXPECT_EQ(KNetwork::linkSocketPath("Tessaron"),
              "/home/ada/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock");
}

TEST(GroupContainer, NoHomeOrNoIdentifierGivesEmpty)
{
    {
        ScopedHome home(nullptr);
        EXPECT_EQ(KNetwork::groupContainerPath("group.pro.tessaron.shared"), "");
        // The socket path then names no real place, and connecting fails.
        EXPECT_EQ(KNetwork::linkSocketPath("Tessaron"), "/Tessaron.sock");
    }
    {
        ScopedHome home("");
        EXPECT_EQ(KNetwork::groupContainerPath("group.pro.tessaron.shared"), "");
    }
    ScopedHome home("/home/ada");
    EXPECT_EQ(KNetwork::groupContainerPath(""), "");
}

TEST(LinkSecret, JoinsUuidPrefixAndANinePrintableCharacterSuffix)
{
    Uuid seam;
    seam.uuid = "01234567-89AB-CDEF-0123-456789ABCDEF";
    Platform::ScopedSeam scoped(seam);
    std::string secret = KNetwork::linkSecret("pro.tessaron");
    ASSERT_EQ(secret.size(), 36u + 12u + 9u);
    EXPECT_EQ(secret.substr(0, 48), "01234567-89AB-CDEF-0123-456789ABCDEFpro.tessaron");
    for (char c : secret.substr(48))
        EXPECT_TRUE(c >= 0x21 && c <= 0x7e) << int(c);
    // The same pieces always give the same secret: the main app relies on it.
    EXPECT_EQ(KNetwork::linkSecret("pro.tessaron"), secret);
}

TEST(LinkSecret, AnUnreadableUuidIsAnEmptyFirstPiece)
{
    Uuid seam;
    Platform::ScopedSeam scoped(seam);
    std::string secret = KNetwork::linkSecret("pro.tessaron");
    EXPECT_EQ(secret.size(), 12u + 9u);
    EXPECT_EQ(secret.substr(0, 12), "pro.tessaron");
    EXPECT_EQ(KNetwork::linkSecret("").size(), 9u);
}

} // namespace
