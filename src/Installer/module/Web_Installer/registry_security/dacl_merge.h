// The heart of the folder access grant: how one access-allowed entry for the grantee is
// merged into a folder's existing DACL. Platform-free: ACEs are plain records over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kInheritedAce = 0x10;
inline constexpr std::uint8_t kGranteeAceFlags = 0x03;     // object + container inherit
inline constexpr std::uint32_t kGranteeAceMask = 0x10000000; // GENERIC_ALL
inline constexpr std::uint32_t kAclHeaderSize = 8;

// One ACE of a list: its header fields, its mask and its bytes (`size` of them, starting
// with the header; the SID starts at byte 8). The bytes are not owned.
struct AceRecord {
  std::uint8_t type;
  std::uint8_t flags;
  std::uint16_t size;
  std::uint32_t mask;
  const std::uint8_t* raw;
};

// Reads the header of the ACE at `raw`, which must hold at least 4 bytes, and its mask when
// the ACE is long enough for one.
AceRecord AceFromBytes(const std::uint8_t* raw);

// True when the ACE holds, from byte 8 and within its size, a whole SID equal to `sid`
// (revision, sub-authority count, identifier authority and every sub-authority). An ACE
// too short to hold a whole SID there never matches.
bool AceHoldsSid(const AceRecord& ace, const std::uint8_t* sid, std::size_t sidLength);

// True when the ACE holds, from byte 8 and within its size, a whole SID (its header and as
// many sub-authorities as the header declares).
bool AceHasWholeSid(const AceRecord& ace);

// The length of the SID at `sid` as its own header declares it (8 + 4 per sub-authority).
std::size_t SidLength(const std::uint8_t* sid);

// Where the merge reads the old list from, in order.
class AceSource {
 public:
  virtual ~AceSource() = default;
  virtual std::size_t Count() const = 0;
  // False when the ACE cannot be read; the merge then fails.
  virtual bool Read(std::size_t index, AceRecord& ace) = 0;
  // Whether `ace` is an entry for the grantee.
  virtual bool IsGrantee(const AceRecord& ace) = 0;
};

// Where the merge writes the new list to, in order.
class AceSink {
 public:
  virtual ~AceSink() = default;
  virtual bool Copy(const AceRecord& ace) = 0;  // an old ACE, unchanged
  virtual bool AddGrantee() = 0;                // the one new entry
};

// The merge. Without a usable DACL (none, or a null one) or with an empty list, the new
// list is the grantee entry alone. Otherwise: the explicit entries ahead of the first
// inherited one, less those for the grantee (whatever their type and mask); then the
// grantee entry; then every entry from the first inherited one on, unchanged. False as
// soon as the source or the sink fails.
bool MergeGrantedDacl(bool hasUsableDacl, AceSource& source, AceSink& sink);

// Bytes to allocate for the new ACL: the old ACL's bytes in use (8 without a usable DACL),
// plus one access-allowed ACE for the grantee (8 + the SID). Entries the merge drops leave
// their bytes free.
std::uint32_t GrantedAclSize(bool hasUsableDacl, std::uint32_t oldBytesInUse, std::size_t sidLength);

// The control bits the new descriptor takes from the old control word: auto-inherited
// (0x0400) gives 0x0500 (auto-inherit-req + auto-inherited); otherwise protected (0x1000)
// gives 0x1000; otherwise no call is made.
struct ControlBits {
  bool set;
  std::uint16_t bitsOfInterest;
  std::uint16_t bitsToSet;
};
ControlBits InheritanceControlBits(std::uint16_t oldControl);
