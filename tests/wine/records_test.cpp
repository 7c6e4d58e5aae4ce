// The platform records the launcher fills or reads, at the width this tree is built for. The
// product is 32-bit: its records are the ones to get right (the launch record is 60 bytes
// there, the cabinet service's records are byte-packed), and the twin's differ.
#include <gtest/gtest.h>

#include <cstddef>

#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

namespace {

#ifdef _WIN64
constexpr bool kWide = true;
#else
constexpr bool kWide = false;
#endif

TEST(PlatformRecords, HaveTheSizesAndOffsetsOfTheirWidth) {
  struct Case {
    const char* what;
    std::size_t actual, i686, x86_64;
  };
  const Case cases[] = {
      {"OSVERSIONINFOA, the plain version record", sizeof(OSVERSIONINFOA), 148, 148},
      {"SHELLEXECUTEINFOA, the launch record", sizeof(SHELLEXECUTEINFOA), 60, 112},
      {"SHELLEXECUTEINFOA::hInstApp", offsetof(SHELLEXECUTEINFOA, hInstApp), 32, 56},
      {"SHELLEXECUTEINFOA::hProcess", offsetof(SHELLEXECUTEINFOA, hProcess), 56, 104},
      {"FILE_IN_CABINET_INFO_A, byte-packed at 32 bits", sizeof(FILE_IN_CABINET_INFO_A), 278, 288},
      {"FILE_IN_CABINET_INFO_A::FileSize, the entry's size that the callback checks",
       offsetof(FILE_IN_CABINET_INFO_A, FileSize), 4, 8},
      {"FILE_IN_CABINET_INFO_A::FullTargetName", offsetof(FILE_IN_CABINET_INFO_A, FullTargetName), 18, 22},
      {"FILE_IN_CABINET_INFO_A::FullTargetName, MAX_PATH bytes", sizeof(FILE_IN_CABINET_INFO_A::FullTargetName), 260,
       260},
      {"ACL_SIZE_INFORMATION", sizeof(ACL_SIZE_INFORMATION), 12, 12},
      {"ACL header", sizeof(ACL), 8, 8},
      {"ACE_HEADER", sizeof(ACE_HEADER), 4, 4},
      {"ACCESS_ALLOWED_ACE, with the first SID word", sizeof(ACCESS_ALLOWED_ACE), 12, 12},
      {"SID with one sub-authority", sizeof(SID), 12, 12},
      {"SID_IDENTIFIER_AUTHORITY", sizeof(SID_IDENTIFIER_AUTHORITY), 6, 6},
      {"SECURITY_DESCRIPTOR, absolute", sizeof(SECURITY_DESCRIPTOR), 20, 40},
      {"SECURITY_ATTRIBUTES", sizeof(SECURITY_ATTRIBUTES), 12, 24},
      {"a handle", sizeof(HANDLE), 4, 8},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.actual, kWide ? c.x86_64 : c.i686) << c.what;
  }
}

}  // namespace
