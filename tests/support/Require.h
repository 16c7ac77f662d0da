#pragma once
#include <gtest/gtest.h>

// Runs a helper that may skip or fail the test and leaves the test body when it did: GTEST_SKIP
// and ASSERT_* inside a helper return from the helper only.
#define BW_REQUIRE(statement)                                                                     \
  do {                                                                                            \
    statement;                                                                                    \
    if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) return;               \
  } while (false)
