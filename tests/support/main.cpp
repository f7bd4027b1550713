// The test programs' entry, kept out of the support library so that the
// soaks, which have entries of their own, link the same helpers.

#include <gtest/gtest.h>

#include "tests/support/support.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!test::StartSockets())
        return 2;
    int nResult = RUN_ALL_TESTS();
    test::StopSockets();
    return nResult;
}
