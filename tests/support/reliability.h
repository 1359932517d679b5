#pragma once

// A fault or bad input a test put the helper through, for the reliability
// report: with TESSARON_TRIALS naming a folder, each trial becomes one line
// there, and scripts/reliability-report.sh makes docs/RELIABILITY.md of them.
// Record a trial once the test has checked it: a failing test's are dropped.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace TestSupport {

inline void recordTrial(const std::string &fault, const std::string &outcome, const std::string &lost = "nothing")
{
    const char *folder = std::getenv("TESSARON_TRIALS");
    if (!folder || testing::Test::HasFailure())
        return;
    // The test binary says where the fault was tried: link_tests is "link".
    std::string area = program_invocation_short_name;
    if (area.ends_with("_tests"))
        area.resize(area.size() - 6);
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        c = c == '/' ? '_' : c;
    std::ofstream(std::string(folder) + "/" + name + ".tsv", std::ios::app)
        << area << '\t' << fault << '\t' << outcome << '\t' << lost << '\n';
}

} // namespace TestSupport
