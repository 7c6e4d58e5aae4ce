// Platform classification and the single-instance mutex name: pure decisions over the
// numbers of the platform's version record.
#pragma once

#include <cstdint>

enum class OsKind : std::int32_t {
  Unclassified = -1,
  Win32sOrNt3 = 0,
  Nt4 = 1,
  Win9x = 2,
  Nt5 = 3,
  Nt51 = 4,
  Nt6OrLater = 5,
};

// `versionQueryResult` is the BOOL that the version query returned; the three numbers are
// ignored when it is zero. Versions compare as unsigned numbers.
OsKind ClassifyPlatform(int versionQueryResult, std::uint32_t platformId, std::uint32_t majorVersion,
                        std::uint32_t minorVersion);

// The plain name for OsKind::Nt4, the "Global\" name for every other kind.
const char* SingleInstanceMutexName(OsKind kind);
