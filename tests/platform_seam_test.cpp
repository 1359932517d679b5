#include "platform/seam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

struct FixedUser : Platform::Seam {
    explicit FixedUser(unsigned id) : id(id) {}
    unsigned userId() override { return id; }
    unsigned id;
};

class TempFile {
public:
    explicit TempFile(const std::string &content)
    {
        char name[] = "/tmp/tessaron-seam-XXXXXX";
        int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path = name;
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile() { std::filesystem::remove(path); }
    std::string path;
};

TEST(ScopedSeam, NestsAndRestoresTheSeamThatWasInForce)
{
    Platform::Seam &before = Platform::seam();
    FixedUser outer(100), inner(200);
    {
        Platform::ScopedSeam a(outer);
        EXPECT_EQ(Platform::seam().userId(), 100u);
        {
            Platform::ScopedSeam b(inner);
            EXPECT_EQ(Platform::seam().userId(), 200u);
        }
        EXPECT_EQ(Platform::seam().userId(), 100u);
    }
    EXPECT_EQ(&Platform::seam(), &before);
}

TEST(ScopedSeam, OverridesAnInstalledSystemSeamAndGivesItBack)
{
    FixedUser system(7), fake(9);
    Platform::setSystemSeam(&system);
    {
        Platform::ScopedSeam s(fake);
        EXPECT_EQ(Platform::seam().userId(), 9u);
    }
    EXPECT_EQ(Platform::seam().userId(), 7u);
    Platform::setSystemSeam(nullptr);
}

TEST(PortableSeam, ReportsTheBuildTimeVersionAndLiteralFolders)
{
    Platform::OSVersion v = Platform::seam().osVersion();
    EXPECT_GT(v.major, 0);
    EXPECT_EQ(Platform::seam().applicationsFolder(), "/Applications");
    EXPECT_FALSE(Platform::seam().executablePath().empty());
}

struct MachineIdCase {
    const char *name;
    const char *content;
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
};

class MachineId : public testing::TestWithParam<MachineIdCase> {};

TEST_P(MachineId, FormatsOnlyAWellFormedId)
{
    TempFile file(GetParam().content);
    EXPECT_EQ(Platform::uuidFromMachineIdFile(file.path), GetParam().uuid);
}

INSTANTIATE_TEST_SUITE_P(Files, MachineId, testing::ValuesIn(kMachineIds),
    [](const auto &info) { return std::string(info.param.name); });

TEST(MachineIdFile, MissingFileGivesEmpty)
{
    EXPECT_EQ(Platform::uuidFromMachineIdFile("/nonexistent/machine-id"), "");
}

} // namespace
