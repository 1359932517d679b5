// One application object for the whole test binary, on the offscreen platform,
// built on the fake host that tests set through freshHost().
#include "core/app.h"
#include "tests/support/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

TestSupport::FakePlatform &TestSupport::appHost()
{
    static FakePlatform host;
    return host;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    KCore::App app(qtArgc, argv, TestSupport::appHost());
    return RUN_ALL_TESTS();
}
