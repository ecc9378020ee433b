// Entry point of every test binary: runs a child role when asked to,
// otherwise GoogleTest.
#include <gtest/gtest.h>

#include "test_util.h"

int main(int argc, char **argv) {
    int status = 0;
    if (vt::run_child_role(argc, argv, &status)) return status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
