#include "hold_policy.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(IsHoldError, OnlySharingAndLockViolationsAndForAStartAccessDenied) {
  struct Case {
    std::uint32_t error;
    bool create, read, write, start;
  };
  const Case cases[] = {
      {0, false, false, false, false},     // success
      {2, false, false, false, false},     // not found
      {3, false, false, false, false},     // no such path
      {5, false, false, false, true},      // access denied: a scanner deciding about a program
      {19, false, false, false, false},    // write-protected medium
      {32, true, true, true, true},        // sharing violation
      {33, true, true, true, true},        // lock violation
      {112, false, false, false, false},   // disk full
      {123, false, false, false, false},   // bad name
      {1224, false, false, false, false},  // a file mapped by a process
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsHoldError(FileUse::CreateCabinet, c.error), c.create) << c.error;
    EXPECT_EQ(IsHoldError(FileUse::ReadCabinet, c.error), c.read) << c.error;
    EXPECT_EQ(IsHoldError(FileUse::WriteEntry, c.error), c.write) << c.error;
    EXPECT_EQ(IsHoldError(FileUse::StartProgram, c.error), c.start) << c.error;
  }
}

TEST(MayWaitAgain, KeepsBothTheStepsAndTheRunsBound) {
  struct Case {
    std::uint32_t step, run;
    bool wait;
  };
  const Case cases[] = {
      {0, 0, true},
      {4900, 0, true},   // the last poll that ends at the step's 5 s
      {4901, 0, false},
      {5000, 0, false},
      {0, 14900, true},  // the last poll that ends at the run's 15 s
      {0, 14901, false},
      {4900, 10000, true},
      {4900, 10001, false},
      {0xFFFFFFFFu, 0, false},  // sums that would wrap in 32 bits
      {0, 0xFFFFFFFFu, false},
      {0xFFFFFF9Cu, 0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(MayWaitAgain(c.step, c.run), c.wait) << c.step << " " << c.run;
}

}  // namespace
