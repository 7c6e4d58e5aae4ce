// Fuzzes the access grant's merge over random ACE lists: exactly one grantee entry, at the
// split point; every entry from the first inherited one kept in order; the explicit ones
// kept less the grantee's; the result fits the computed size; merging again changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "dacl_lists.h"

namespace {
const std::uint8_t kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};

std::uint32_t InUse(const std::vector<AceRecord>& aces) {
  std::uint32_t total = 8;
  for (const AceRecord& a : aces) total += a.size;
  return total;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Each ACE: type, flags, a length byte, then that many bytes of body (mask and SID), read
  // as the platform lays an ACE out. A body byte of 0xEE starts an Everyone SID.
  std::deque<std::vector<std::uint8_t>> storage;
  std::vector<AceRecord> old;
  std::size_t at = 0;
  while (at + 3 <= size && old.size() < 64) {
    const std::uint8_t type = data[at], flags = data[at + 1];
    std::size_t body = data[at + 2] % 40;
    at += 3;
    std::vector<std::uint8_t> raw(4, 0);
    raw[0] = type;
    raw[1] = flags;
    for (std::size_t i = 0; i < body && at < size; ++i, ++at) {
      if (data[at] == 0xEE && raw.size() == 8) {
        raw.insert(raw.end(), kEveryone, kEveryone + sizeof(kEveryone));
      } else {
        raw.push_back(data[at]);
      }
    }
    if (raw.size() < 4) raw.resize(4, 0);
    raw[2] = static_cast<std::uint8_t>(raw.size() & 0xFF);
    raw[3] = static_cast<std::uint8_t>(raw.size() >> 8);
    storage.push_back(raw);
    old.push_back(AceFromBytes(storage.back().data()));
  }
  const bool usable = size == 0 || data[0] % 8 != 0;
  const std::vector<std::uint8_t> grantee = GranteeAceBytes(kEveryone, sizeof(kEveryone));
  const GrantedDacl result = BuildGrantedDacl(usable, old, usable ? InUse(old) : 8, kEveryone, sizeof(kEveryone), grantee);

  std::size_t split = 0;
  while (usable && split < old.size() && (old[split].flags & kInheritedAce) == 0) ++split;
  std::size_t out = 0;
  for (std::size_t i = 0; usable && i < split; ++i) {
    if (AceHoldsSid(old[i], kEveryone, sizeof(kEveryone))) continue;
    if (out >= result.aces.size() || result.aces[out++].raw != old[i].raw) std::abort();
  }
  if (out >= result.aces.size() || result.aces[out++].raw != grantee.data()) std::abort();
  for (std::size_t i = split; usable && i < old.size(); ++i) {
    if (out >= result.aces.size() || result.aces[out++].raw != old[i].raw) std::abort();
  }
  if (out != result.aces.size()) std::abort();
  if (InUse(result.aces) > result.aclSize) std::abort();

  const GrantedDacl again = BuildGrantedDacl(true, result.aces, InUse(result.aces), kEveryone, sizeof(kEveryone), grantee);
  if (again.aces.size() != result.aces.size()) std::abort();
  for (std::size_t i = 0; i < again.aces.size(); ++i) {
    if (again.aces[i].size != result.aces[i].size ||
        std::vector<std::uint8_t>(again.aces[i].raw, again.aces[i].raw + again.aces[i].size) !=
            std::vector<std::uint8_t>(result.aces[i].raw, result.aces[i].raw + result.aces[i].size)) {
      std::abort();
    }
  }
  return 0;
}
