// The merge over plain lists of ACEs, for tests and fuzzing: the launcher itself merges
// straight into the platform's ACL (dacl_merge.h) and links none of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dacl_merge.h"

// The 20-byte access-allowed ACE that the platform writes for the grantee S-1-1-0:
// 00 03 14 00, the mask, the SID.
std::vector<std::uint8_t> GranteeAceBytes(const std::uint8_t* sid, std::size_t sidLength);

// The merge over plain lists: the new ACE list in order (the grantee entry's `raw` points
// into `granteeAce`, which must outlive the result) and the ACL size.
struct GrantedDacl {
  std::vector<AceRecord> aces;
  std::uint32_t aclSize;
};
GrantedDacl BuildGrantedDacl(bool hasUsableDacl, const std::vector<AceRecord>& oldAces,
                             std::uint32_t oldBytesInUse, const std::uint8_t* sid, std::size_t sidLength,
                             const std::vector<std::uint8_t>& granteeAce);

// The ACL as the platform lays it out: the 8-byte header (revision 2, size, count) and the
// ACEs' bytes, then zeros up to `aclSize`.
std::vector<std::uint8_t> AclBytes(const GrantedDacl& dacl);
