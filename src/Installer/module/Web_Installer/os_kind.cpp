#include "os_kind.h"

#include "product_constants.h"

namespace {
constexpr std::uint32_t kPlatformWin32s = 0;
constexpr std::uint32_t kPlatformWindows = 1;
constexpr std::uint32_t kPlatformNt = 2;
}  // namespace

OsKind ClassifyPlatform(int versionQueryResult, std::uint32_t platformId, std::uint32_t majorVersion,
                        std::uint32_t minorVersion) {
  if (versionQueryResult == 0) return OsKind::Unclassified;
  if (platformId == kPlatformWin32s) return OsKind::Win32sOrNt3;
  if (platformId == kPlatformWindows) return majorVersion == 4 ? OsKind::Win9x : OsKind::Unclassified;
  if (platformId == kPlatformNt) {
    if (majorVersion >= 6) return OsKind::Nt6OrLater;
    switch (majorVersion) {
      case 3: return OsKind::Win32sOrNt3;
      case 4: return OsKind::Nt4;
      case 5: return minorVersion == 1 ? OsKind::Nt51 : OsKind::Nt5;
      default: return OsKind::Unclassified;
    }
  }
  return OsKind::Unclassified;
}

const char* SingleInstanceMutexName(OsKind kind) {
  return kind == OsKind::Nt4 ? product::kPlainMutexName : product::kGlobalMutexName;
}
