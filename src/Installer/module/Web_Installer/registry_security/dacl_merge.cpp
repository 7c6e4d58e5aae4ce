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

std::size_t SidLength(const std::uint8_t* sid) { return kSidHeaderSize + 4u * sid[1]; }

bool AceHoldsSid(const AceRecord& ace, const std::uint8_t* sid, std::size_t sidLength) {
  if (ace.size < kAceSidOffset + kSidHeaderSize) return false;
  const std::uint8_t* aceSid = ace.raw + kAceSidOffset;
  const std::size_t room = ace.size - kAceSidOffset;
  if (SidLength(aceSid) > room) return false;
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

std::vector<std::uint8_t> GranteeAceBytes(const std::uint8_t* sid, std::size_t sidLength) {
  const std::size_t size = 8 + sidLength;
  std::vector<std::uint8_t> bytes(size, 0);
  bytes[0] = 0x00;  // ACCESS_ALLOWED_ACE_TYPE
  bytes[1] = kGranteeAceFlags;
  bytes[2] = static_cast<std::uint8_t>(size & 0xFF);
  bytes[3] = static_cast<std::uint8_t>(size >> 8);
  bytes[7] = static_cast<std::uint8_t>(kGranteeAceMask >> 24);
  for (std::size_t i = 0; i < sidLength; ++i) bytes[8 + i] = sid[i];
  return bytes;
}

namespace {

class ListSource : public AceSource {
 public:
  ListSource(const std::vector<AceRecord>& aces, const std::uint8_t* sid, std::size_t sidLength)
      : m_aces(aces), m_sid(sid), m_sidLength(sidLength) {}
  std::size_t Count() const override { return m_aces.size(); }
  bool Read(std::size_t index, AceRecord& ace) override {
    ace = m_aces[index];
    return true;
  }
  bool IsGrantee(const AceRecord& ace) override { return AceHoldsSid(ace, m_sid, m_sidLength); }

 private:
  const std::vector<AceRecord>& m_aces;
  const std::uint8_t* m_sid;
  std::size_t m_sidLength;
};

class ListSink : public AceSink {
 public:
  ListSink(std::vector<AceRecord>& out, const std::vector<std::uint8_t>& grantee) : m_out(out), m_grantee(grantee) {}
  bool Copy(const AceRecord& ace) override {
    m_out.push_back(ace);
    return true;
  }
  bool AddGrantee() override {
    m_out.push_back(AceFromBytes(m_grantee.data()));
    return true;
  }

 private:
  std::vector<AceRecord>& m_out;
  const std::vector<std::uint8_t>& m_grantee;
};

}  // namespace

GrantedDacl BuildGrantedDacl(bool hasUsableDacl, const std::vector<AceRecord>& oldAces,
                             std::uint32_t oldBytesInUse, const std::uint8_t* sid, std::size_t sidLength,
                             const std::vector<std::uint8_t>& granteeAce) {
  GrantedDacl result;
  result.aclSize = GrantedAclSize(hasUsableDacl, oldBytesInUse, sidLength);
  ListSource source(oldAces, sid, sidLength);
  ListSink sink(result.aces, granteeAce);
  MergeGrantedDacl(hasUsableDacl, source, sink);
  return result;
}

std::vector<std::uint8_t> AclBytes(const GrantedDacl& dacl) {
  std::vector<std::uint8_t> bytes(kAclHeaderSize, 0);
  bytes[0] = 2;  // ACL_REVISION
  bytes[2] = static_cast<std::uint8_t>(dacl.aclSize & 0xFF);
  bytes[3] = static_cast<std::uint8_t>(dacl.aclSize >> 8);
  bytes[4] = static_cast<std::uint8_t>(dacl.aces.size() & 0xFF);
  bytes[5] = static_cast<std::uint8_t>(dacl.aces.size() >> 8);
  for (const AceRecord& ace : dacl.aces) bytes.insert(bytes.end(), ace.raw, ace.raw + ace.size);
  if (bytes.size() < dacl.aclSize) bytes.resize(dacl.aclSize, 0);
  return bytes;
}

ControlBits InheritanceControlBits(std::uint16_t oldControl) {
  if ((oldControl & 0x0400) != 0) return {true, 0x0500, 0x0500};
  if ((oldControl & 0x1000) != 0) return {true, 0x1000, 0x1000};
  return {false, 0, 0};
}
