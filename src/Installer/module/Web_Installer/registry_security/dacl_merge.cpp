#include "dacl_merge.h"

#include <cstring>

namespace {
constexpr std::size_t kAceSidOffset = 8;
constexpr std::size_t kSidHeaderSize = 8;
}  // namespace

AceRecord AceFromBytes(const std::uint8_t* raw) {
  AceRecord ace{};
  ace.type = raw[0];
  ace.flags = raw[1];
  ace.size = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
  ace.mask = 0;
  if (ace.size >= 8) {
    ace.mask = static_cast<std::uint32_t>(raw[4]) | (static_cast<std::uint32_t>(raw[5]) << 8) |
               (static_cast<std::uint32_t>(raw[6]) << 16) | (static_cast<std::uint32_t>(raw[7]) << 24);
  }
  ace.raw = raw;
  return ace;
}

std::size_t SidLength(const std::uint8_t* sid) { return kSidHeaderSize + 4 * static_cast<std::size_t>(sid[1]); }

bool AceHasWholeSid(const AceRecord& ace) {
  if (ace.size < kAceSidOffset + kSidHeaderSize) return false;
  return SidLength(ace.raw + kAceSidOffset) <= ace.size - kAceSidOffset;
}

bool AceHoldsSid(const AceRecord& ace, const std::uint8_t* sid, std::size_t sidLength) {
  if (!AceHasWholeSid(ace)) return false;
  const std::uint8_t* aceSid = ace.raw + kAceSidOffset;
  return SidLength(aceSid) == sidLength && std::memcmp(aceSid, sid, sidLength) == 0;
}

bool MergeGrantedDacl(bool hasUsableDacl, AceSource& source, AceSink& sink) {
  const std::size_t count = hasUsableDacl ? source.Count() : 0;
  std::size_t index = 0;
  AceRecord ace{};
  bool reachedInherited = false;
  // The explicit part: up to the first inherited entry, without the grantee's entries.
  for (; index < count; ++index) {
    if (!source.Read(index, ace)) return false;
    if ((ace.flags & kInheritedAce) != 0) {
      reachedInherited = true;
      break;
    }
    if (source.IsGrantee(ace)) continue;
    if (!sink.Copy(ace)) return false;
  }
  if (!sink.AddGrantee()) return false;
  if (!reachedInherited) return true;
  // From the split point on, every entry as it stands; the first one is already read.
  if (!sink.Copy(ace)) return false;
  for (++index; index < count; ++index) {
    if (!source.Read(index, ace) || !sink.Copy(ace)) return false;
  }
  return true;
}

std::uint32_t GrantedAclSize(bool hasUsableDacl, std::uint32_t oldBytesInUse, std::size_t sidLength) {
  const std::uint32_t base = hasUsableDacl ? oldBytesInUse : kAclHeaderSize;
  return base + 8u + static_cast<std::uint32_t>(sidLength);
}

ControlBits InheritanceControlBits(std::uint16_t oldControl) {
  if ((oldControl & 0x0400) != 0) return {true, 0x0500, 0x0500};
  if ((oldControl & 0x1000) != 0) return {true, 0x1000, 0x1000};
  return {false, 0, 0};
}
