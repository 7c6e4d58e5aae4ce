#include "dacl_lists.h"

#include <cstring>

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

