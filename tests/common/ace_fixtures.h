// ACE lists for the tests of the access grant: well-known SIDs and ACEs built as bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "dacl_merge.h"

namespace acefix {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes kEveryone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};                       // S-1-1-0
inline const Bytes kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                        // S-1-5-18
inline const Bytes kUsers = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0};           // S-1-5-32-545
inline const Bytes kAdmins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};          // S-1-5-32-544

constexpr std::uint8_t kAllowed = 0x00;
constexpr std::uint8_t kDenied = 0x01;
constexpr std::uint8_t kInherited = 0x10;

// Owns the bytes of every ACE it makes, so that AceRecords pointing into them stay valid.
class AceStore {
 public:
  AceRecord Make(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const Bytes& sid) {
    Bytes raw(8 + sid.size(), 0);
    raw[0] = type;
    raw[1] = flags;
    raw[2] = static_cast<std::uint8_t>(raw.size() & 0xFF);
    raw[3] = static_cast<std::uint8_t>(raw.size() >> 8);
    for (int i = 0; i < 4; ++i) raw[4 + i] = static_cast<std::uint8_t>(mask >> (8 * i));
    for (std::size_t i = 0; i < sid.size(); ++i) raw[8 + i] = sid[i];
    return Keep(raw);
  }
  // An ACE of `size` bytes whose bytes from 8 on are the start of `sid`, cut short.
  AceRecord Truncated(std::uint16_t size, const Bytes& sid) {
    Bytes raw(size, 0);
    raw[2] = static_cast<std::uint8_t>(size & 0xFF);
    raw[3] = static_cast<std::uint8_t>(size >> 8);
    for (std::size_t i = 8; i < size && i - 8 < sid.size(); ++i) raw[i] = sid[i - 8];
    return Keep(raw);
  }
  AceRecord Keep(const Bytes& raw) {
    m_storage.push_back(raw);
    return AceFromBytes(m_storage.back().data());
  }

 private:
  std::deque<Bytes> m_storage;
};

inline std::uint32_t BytesInUse(const std::vector<AceRecord>& aces) {
  std::uint32_t total = 8;
  for (const AceRecord& a : aces) total += a.size;
  return total;
}

inline Bytes RawOf(const AceRecord& ace) { return Bytes(ace.raw, ace.raw + ace.size); }

}  // namespace acefix
