// One application object for the whole test binary, on the offscreen platform.
#include "core/app.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    KCore::App app(qtArgc, argv);
    return RUN_ALL_TESTS();
}
