#include "os_kind.h"

#include <gtest/gtest.h>

namespace {

struct VersionCase {
  int queryResult;
  unsigned platformId, major, minor;
  OsKind expected;
};

const VersionCase kVersionCases[] = {
    // A failed query wins over numbers that would match another kind.
    {0, 2, 10, 0, OsKind::Unclassified},
    {0, 1, 4, 10, OsKind::Unclassified},
    // Platform id 0: whatever the numbers.
    {1, 0, 0, 0, OsKind::Win32sOrNt3},
    {1, 0, 9, 9, OsKind::Win32sOrNt3},
    // Platform id 1: only major 4.
    {1, 1, 4, 0, OsKind::Win9x},
    {1, 1, 4, 10, OsKind::Win9x},
    {1, 1, 4, 90, OsKind::Win9x},
    {1, 1, 5, 0, OsKind::Unclassified},
    {1, 1, 3, 0, OsKind::Unclassified},
    // Platform id 2, by major version.
    {1, 2, 0, 0, OsKind::Unclassified},
    {1, 2, 1, 0, OsKind::Unclassified},
    {1, 2, 2, 0, OsKind::Unclassified},
    {1, 2, 3, 51, OsKind::Win32sOrNt3},
    {1, 2, 4, 0, OsKind::Nt4},
    {1, 2, 4, 9, OsKind::Nt4},
    {1, 2, 5, 0, OsKind::Nt5},
    {1, 2, 5, 1, OsKind::Nt51},
    {1, 2, 5, 2, OsKind::Nt5},
    {1, 2, 5, 3, OsKind::Nt5},
    {1, 2, 6, 0, OsKind::Nt6OrLater},
    {1, 2, 6, 2, OsKind::Nt6OrLater},
    {1, 2, 10, 0, OsKind::Nt6OrLater},
    {1, 2, 0xFFFFFFFFu, 0, OsKind::Nt6OrLater},  // unsigned comparison
    // Any BOOL other than 0 counts as success.
    {-1, 2, 5, 1, OsKind::Nt51},
    // Platform ids above 2.
    {1, 3, 5, 1, OsKind::Unclassified},
    {1, 3, 10, 0, OsKind::Unclassified},
    {1, 0xFFFFFFFFu, 6, 0, OsKind::Unclassified},
};

TEST(ClassifyPlatform, MapsEveryVersionRecordToItsKind) {
  for (const VersionCase& c : kVersionCases) {
    EXPECT_EQ(ClassifyPlatform(c.queryResult, c.platformId, c.major, c.minor), c.expected)
        << "query " << c.queryResult << ", platform " << c.platformId << ", version " << c.major << "."
        << c.minor;
  }
}

TEST(SingleInstanceMutexName, OnlyNt4TakesThePlainName) {
  const char* global = "Global\\ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
  const char* plain = "ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
  for (int k = -1; k <= 5; ++k) {
    const OsKind kind = static_cast<OsKind>(k);
    EXPECT_STREQ(SingleInstanceMutexName(kind), kind == OsKind::Nt4 ? plain : global) << "kind " << k;
  }
}
}  // namespace
