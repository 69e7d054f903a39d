// The runtime started in the test process itself, for tests that never end
// the process: each test gets fresh records and leaves none behind.
#pragma once

#include <gtest/gtest.h>

namespace testsupport {

// Releases both of the runtime's records and empties the pointers to them.
void ReleaseRuntime();

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { ReleaseRuntime(); }
};

} // namespace testsupport
