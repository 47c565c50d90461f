// Every test binary runs in a network namespace of its own, so that the
// service manager it starts is private to it and no test ever reaches one
// outside (abstract Unix sockets belong to the network namespace).
#include "PrivateNetwork.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no namespace (and CTest lists them often).
    if (!testing::GTEST_FLAG(list_tests) && !enterPrivateNetwork()) {
        std::perror("cannot enter a private network namespace (unshare)");
        return 1;
    }
    return RUN_ALL_TESTS();
}
