#include "launch_decision.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(LaunchStarted, NeedsASuccessfulCallAndAResultAbove32) {
  struct Case {
    int result;
    std::int32_t code;
    bool started;
  };
  const Case cases[] = {
      {0, 42, false},                     // the call failed, whatever the code says
      {1, 32, false},                     // 32 is still an error code
      {1, 33, true},
      {1, 42, true},
      {-1, 33, true},                     // any nonzero BOOL
      {1, static_cast<std::int32_t>(0x80000000u), false},  // highest bit set: negative
      {1, static_cast<std::int32_t>(0xFFFFFFFFu), false},
      {1, 0, false},
      {0, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LaunchStarted(c.result, c.code), c.started) << c.result << ", " << c.code;
  }
}

TEST(EntryProgramPath, PutsExactlyOneBackslashBeforeTheName) {
  EXPECT_EQ(std::string(EntryProgramPath("C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}")),
            "C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}\\RUZE_Derurerovo_Vozi.exe");
}

}  // namespace
