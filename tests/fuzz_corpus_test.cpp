// Replays a fuzz seed corpus through its fuzz entry point, so the seeds and
// every crash kept as a regression case run with the plain tests; a broken
// invariant aborts.
#include "tests/support/reliability.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

TEST(FuzzCorpus, EverySeedRunsClean)
{
    std::size_t seeds = 0;
    for (const auto &entry : std::filesystem::directory_iterator(TESSARON_FUZZ_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string input{std::istreambuf_iterator<char>(in), {}};
        SCOPED_TRACE(entry.path().filename().string());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.data()), input.size());
        ++seeds;
    }
    EXPECT_GE(seeds, 1u);
    TestSupport::recordTrial("the kept fuzz inputs of " + std::filesystem::path(TESSARON_FUZZ_CORPUS).filename().string(),
        "ran clean under the target's own checks");
}
