// Entry point of every test binary: runs a child role when asked to,
// otherwise GoogleTest.
#include <gtest/gtest.h>

#include "internals.h"
#include "test_util.h"

int main(int argc, char **argv) {
    int status = 0;
    if (vt::run_child_role(argc, argv, &status)) return status;
    // A process keeps one descriptor for life once a thread of it has taken
    // a mutex (its liveness file). Made here, before any test counts the
    // descriptors it leaves open.
    if (HANDLE m = CreateMutexA(nullptr, TRUE, nullptr)) {
        ReleaseMutex(m);
        CloseHandle(m);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
