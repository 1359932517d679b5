// The machine id, and the place and secret of the link.
#include "network/link_config.h"
#include "network/protocol_layer.h"
#include "platform/linux/machine_id.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

namespace {


struct MachineIdCase {
    const char *name;
    const char *content; // null: no file
    const char *uuid;
};

const MachineIdCase kMachineIds[] = {
    {"LowerCaseWithNewline", "0123456789abcdef0123456789abcdef\n", "01234567-89AB-CDEF-0123-456789ABCDEF"},
    {"NoNewline", "ffffffffffffffffffffffffffffffff", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"},
    {"Empty", "", ""},
    {"TooShort", "0123456789abcdef\n", ""},
    {"TooLong", "0123456789abcdef0123456789abcdef0\n", ""},
    {"NotHex", "0123456789abcdef0123456789abcdeg\n", ""},
    {"AlreadyHyphenated", "01234567-89ab-cdef-0123-456789abcdef\n", ""},
    {"Missing", nullptr, ""},
};

class MachineId : public testing::TestWithParam<MachineIdCase> {};

TEST_P(MachineId, FormatsOnlyAWellFormedId)
{
    Harness::TempDir dir;
    if (GetParam().content)
        Harness::writeFile(dir / "machine-id", GetParam().content);
    EXPECT_EQ(Linux::uuidFromMachineIdFile(dir / "machine-id"), GetParam().uuid);
}

INSTANTIATE_TEST_SUITE_P(Files, MachineId, testing::ValuesIn(kMachineIds),
    [](const auto &info) { return std::string(info.param.name); });

// HOME (or its absence) for one test.
class ScopedHome {
public:
    explicit ScopedHome(const char *value) : saved(std::getenv("HOME") ? std::getenv("HOME") : "")
    {
        value ? ::setenv("HOME", value, 1) : ::unsetenv("HOME");
    }
    ~ScopedHome() { ::setenv("HOME", saved.c_str(), 1); }

private:
    std::string saved;
};

TEST(GroupContainer, LiesUnderHomeAndNeedsAHomeAndAnIdentifier)
{
    for (const char *home : {static_cast<const char *>(nullptr), ""}) {
        ScopedHome scoped(home);
        EXPECT_EQ(KNetwork::groupContainerPath("group.pro.tessaron.shared"), "") << (home ? "empty" : "unset");
    }
    ScopedHome scoped("/home/ada");
    EXPECT_EQ(KNetwork::groupContainerPath(""), "");
    EXPECT_EQ(KNetwork::linkSocketPath("Tessaron"),
        "/home/ada/Library/Group Containers/group.pro.tessaron.shared/Tessaron.sock");
}

struct SecretCase {
    const char *name;
    const char *uuid;
    const char *prefix;
    std::size_t length;
    // The byte sum of the whole secret, worked out apart from this code.
    std::uint32_t handshake;
};

const SecretCase kSecrets[] = {
    {"UuidPrefixSuffix", "01234567-89AB-CDEF-0123-456789ABCDEF", "pro.tessaron", 57, 4056},
    {"UnreadableUuid", "", "pro.tessaron", 21, 2016},
    {"NoPrefix", "01234567-89AB-CDEF-0123-456789ABCDEF", "", 45, 2794},
};

class LinkSecret : public testing::TestWithParam<SecretCase> {};

TEST_P(LinkSecret, JoinsUuidPrefixAndTheFixedSuffixIntoAFixedHandshake)
{
    const std::string secret = KNetwork::linkSecret(GetParam().prefix, GetParam().uuid);
    EXPECT_EQ(secret.size(), GetParam().length);
    EXPECT_EQ(secret.rfind(std::string(GetParam().uuid) + GetParam().prefix, 0), 0u) << secret;
    EXPECT_EQ(KNetwork::handshakeValue(secret), GetParam().handshake);
}

INSTANTIATE_TEST_SUITE_P(Pieces, LinkSecret, testing::ValuesIn(kSecrets),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
