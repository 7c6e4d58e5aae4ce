#include "dacl_merge.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ace_fixtures.h"
#include "dacl_lists.h"

using namespace acefix;

namespace {

class DaclMergeTest : public ::testing::Test {
 protected:
  GrantedDacl Merge(bool usable, const std::vector<AceRecord>& old, std::uint32_t inUse) {
    return BuildGrantedDacl(usable, old, inUse, kEveryone.data(), kEveryone.size(), grantee_);
  }
  bool IsNew(const AceRecord& ace) const { return ace.raw == grantee_.data(); }
  Bytes grantee_ = GranteeAceBytes(kEveryone.data(), kEveryone.size());
  AceStore store_;
};

TEST_F(DaclMergeTest, MergesEveryListAsTheGrantRequires) {
  const AceRecord eUsers = store_.Make(kAllowed, 0, 0x1200A9, kUsers);
  const AceRecord eEveryoneRead = store_.Make(kAllowed, 0, 0x120089, kEveryone);
  const AceRecord eDenyEveryone = store_.Make(kDenied, 0x03, 0x10000000, kEveryone);
  const AceRecord iSystem = store_.Make(kAllowed, kInherited | 0x03, 0x1F01FF, kSystem);
  const AceRecord iEveryone = store_.Make(kAllowed, kInherited, 0x1F01FF, kEveryone);
  const AceRecord iUsers = store_.Make(kAllowed, kInherited, 0x1200A9, kUsers);
  const AceRecord eAdmins = store_.Make(kAllowed, 0, 0x1F01FF, kAdmins);
  const AceRecord eEveryoneAfter = store_.Make(kAllowed, 0, 0x1F01FF, kEveryone);
  // 12 bytes: the ACE ends inside the SID; 16 bytes: the SID's header fits, its
  // sub-authority does not.
  const AceRecord short12 = store_.Truncated(12, kEveryone);
  const AceRecord short16 = store_.Truncated(16, kEveryone);
  const AceRecord G{};  // stands for the new grantee entry in the expectations

  struct Case {
    const char* what;
    bool usable;
    std::vector<AceRecord> old;
    std::vector<AceRecord> expected;
  };
  const Case cases[] = {
      {"no DACL", false, {}, {G}},
      {"a null DACL: whatever the list, it is not read", false, {eUsers, iSystem}, {G}},
      {"an empty DACL", true, {}, {G}},
      {"explicit Everyone dropped, inherited Everyone kept", true,
       {eUsers, eEveryoneRead, iSystem, iEveryone}, {eUsers, G, iSystem, iEveryone}},
      {"an explicit deny for Everyone is dropped", true, {eDenyEveryone, eUsers}, {eUsers, G}},
      {"only inherited entries: the new entry goes first", true, {iSystem, iUsers}, {G, iSystem, iUsers}},
      {"an explicit entry after the first inherited one stays", true,
       {eAdmins, iUsers, eEveryoneAfter}, {eAdmins, G, iUsers, eEveryoneAfter}},
      {"only explicit entries: the new entry goes last", true, {eAdmins, eEveryoneRead, eUsers}, {eAdmins, eUsers, G}},
      {"entries too short for a whole SID never match", true, {short12, short16}, {short12, short16, G}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint32_t inUse = c.usable ? BytesInUse(c.old) : 8;
    const GrantedDacl result = Merge(c.usable, c.old, inUse);
    ASSERT_EQ(result.aces.size(), c.expected.size());
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      if (c.expected[i].raw == nullptr) {
        EXPECT_TRUE(IsNew(result.aces[i])) << "position " << i;
      } else {
        EXPECT_EQ(result.aces[i].raw, c.expected[i].raw) << "position " << i;  // the old bytes, unchanged
      }
    }
    EXPECT_EQ(result.aclSize, inUse + 20u);
  }
}

TEST_F(DaclMergeTest, AGrantOnNoDaclIsTheSingleEntryAclOf28Bytes) {
  const Bytes expected = {0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,   // header
                          0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,   // ACE header, GENERIC_ALL
                          1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};              // S-1-1-0
  EXPECT_EQ(AclBytes(Merge(false, {}, 8)), expected);
  EXPECT_EQ(AclBytes(Merge(true, {}, 8)), expected);
}

TEST_F(DaclMergeTest, DroppedEntriesLeaveTheirBytesFree) {
  const AceRecord eUsers = store_.Make(kAllowed, 0, 0x1200A9, kUsers);
  const AceRecord eEveryoneRead = store_.Make(kAllowed, 0, 0x120089, kEveryone);
  const AceRecord iSystem = store_.Make(kAllowed, kInherited, 0x1F01FF, kSystem);
  const std::vector<AceRecord> old = {eUsers, eEveryoneRead, iSystem};
  const Bytes acl = AclBytes(Merge(true, old, BytesInUse(old)));
  ASSERT_EQ(acl.size(), BytesInUse(old) + 20u);
  const std::size_t used = 8 + eUsers.size + 20 + iSystem.size;
  EXPECT_EQ(acl.size() - used, eEveryoneRead.size);
  EXPECT_EQ(Bytes(acl.begin() + static_cast<long>(used), acl.end()), Bytes(eEveryoneRead.size, 0));
}

TEST(InheritanceControlBits, CarriesAutoInheritedBeforeProtected) {
  struct Case {
    std::uint16_t old;
    ControlBits expected;
  };
  const Case cases[] = {
      {0x0400, {true, 0x0500, 0x0500}}, {0x1000, {true, 0x1000, 0x1000}}, {0x1400, {true, 0x0500, 0x0500}},
      {0x0000, {false, 0, 0}},          {0x0100, {false, 0, 0}},          {0x8004, {false, 0, 0}},
  };
  for (const Case& c : cases) {
    const ControlBits bits = InheritanceControlBits(c.old);
    EXPECT_EQ(bits.set, c.expected.set) << std::hex << c.old;
    EXPECT_EQ(bits.bitsOfInterest, c.expected.bitsOfInterest) << std::hex << c.old;
    EXPECT_EQ(bits.bitsToSet, c.expected.bitsToSet) << std::hex << c.old;
  }
}

// Many random lists from a fixed seed: the merge's invariants hold for every one.
TEST_F(DaclMergeTest, InvariantsHoldOverRandomLists) {
  std::mt19937 random(20261210);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same lists every run
  const Bytes* sids[] = {&kEveryone, &kSystem, &kUsers, &kAdmins};
  for (int round = 0; round < 3000; ++round) {
    std::vector<AceRecord> old;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      const unsigned pick = random() % 10;
      const std::uint8_t flags = static_cast<std::uint8_t>((random() % 3 == 0 ? kInherited : 0) | (random() % 16));
      if (pick == 9) {
        old.push_back(store_.Truncated(static_cast<std::uint16_t>(8 + random() % 12), kEveryone));
      } else {
        old.push_back(store_.Make(static_cast<std::uint8_t>(random() % 3), flags, random(), *sids[pick % 4]));
      }
    }
    const bool usable = random() % 8 != 0;
    const GrantedDacl result = Merge(usable, old, usable ? BytesInUse(old) : 8);
    SCOPED_TRACE("round " + std::to_string(round));

    // Exactly one new entry, at the split point.
    std::size_t split = 0;
    while (usable && split < old.size() && (old[split].flags & kInherited) == 0) ++split;
    std::vector<AceRecord> explicitKept;
    for (std::size_t i = 0; usable && i < split; ++i) {
      if (!AceHoldsSid(old[i], kEveryone.data(), kEveryone.size())) explicitKept.push_back(old[i]);
    }
    std::size_t newCount = 0;
    for (const AceRecord& a : result.aces) newCount += IsNew(a) ? 1 : 0;
    ASSERT_EQ(newCount, 1u);
    ASSERT_TRUE(IsNew(result.aces[explicitKept.size()]));
    // The explicit entries kept in order, then every entry from the split point on.
    std::size_t at = 0;
    for (const AceRecord& a : explicitKept) ASSERT_EQ(result.aces[at++].raw, a.raw);
    ++at;
    for (std::size_t i = split; usable && i < old.size(); ++i) ASSERT_EQ(result.aces[at++].raw, old[i].raw);
    ASSERT_EQ(at, result.aces.size());
    // The result fits the computed size.
    ASSERT_LE(BytesInUse(result.aces), result.aclSize);
    // Idempotence: merging the result again gives the same list.
    const GrantedDacl again = Merge(true, result.aces, BytesInUse(result.aces));
    ASSERT_EQ(again.aces.size(), result.aces.size());
    for (std::size_t i = 0; i < again.aces.size(); ++i) ASSERT_EQ(RawOf(again.aces[i]), RawOf(result.aces[i]));
  }
}

}  // namespace
