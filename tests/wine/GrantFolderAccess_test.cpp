// The folder access grant: real folders of the test prefix, and through its seam every
// failing call, the release order, and the exact DACL handed to the one write.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "GrantFolderAccess.h"
#include "ace_fixtures.h"
#include "security_api.h"
#include "support.h"

using namespace acefix;

namespace {

// ---- the descriptor the fake GetFileSecurityA hands out -------------------------------
enum class DaclKind { None, Null, Present };
std::vector<unsigned char> g_descriptor;  // self-relative

std::vector<unsigned char> MakeDescriptor(DaclKind kind, const std::vector<AceRecord>& aces, WORD control) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  std::vector<unsigned char> acl(BytesInUse(aces) + 64, 0);
  if (kind == DaclKind::Present) {
    InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION);
    for (const AceRecord& a : aces) {
      AddAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, MAXDWORD, const_cast<unsigned char*>(a.raw), a.size);
    }
    SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
  } else if (kind == DaclKind::Null) {
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
  }
  if (control != 0) SetSecurityDescriptorControl(&sd, control, control);
  DWORD size = 0;
  MakeSelfRelativeSD(&sd, nullptr, &size);
  std::vector<unsigned char> out(size);
  EXPECT_TRUE(MakeSelfRelativeSD(&sd, out.data(), &size));
  return out;
}

// ---- fakes: each passes to the real call unless it is the one told to fail -------------
std::string g_failCall;  // the call that fails, e.g. "GetAce"
std::vector<std::string> g_calls;
std::vector<std::string> g_releases;
std::vector<void*> g_heapBlocks;  // in allocation order
bool g_throwFromGetAce = false;
std::vector<unsigned char> g_writtenAcl;
WORD g_writtenControl = 0;
bool g_wrote = false;
DWORD g_sizingError = ERROR_INSUFFICIENT_BUFFER;
bool g_sizingSucceeds = false;

bool Fails(const char* name) {
  g_calls.push_back(name);
  return g_failCall == name;
}

UINT WINAPI FakeGetSystemDirectory(LPSTR b, UINT n) { return Fails("GetSystemDirectoryA") ? 0 : RealSecurityApi().GetSystemDirectoryA(b, n); }
errno_t FakeStrcat(char* b, size_t n, const char* t) {
  const std::string which = std::string("strcat_s ") + t;
  return Fails(which.c_str()) ? ERANGE : RealSecurityApi().strcat_s(b, n, t);
}
std::string g_libraryLoaded;
HMODULE WINAPI FakeLoadLibrary(LPCSTR p) {
  g_libraryLoaded = p;
  return Fails("LoadLibraryA") ? nullptr : RealSecurityApi().LoadLibraryA(p);
}
BOOL WINAPI FakeAddAllowed(PACL a, DWORD r, DWORD f, DWORD m, PSID s) {
  return Fails("AddAccessAllowedAceEx") ? FALSE : AddAccessAllowedAceEx(a, r, f, m, s);
}
BOOL WINAPI FakeSetControl(PSECURITY_DESCRIPTOR d, SECURITY_DESCRIPTOR_CONTROL i, SECURITY_DESCRIPTOR_CONTROL s) {
  return Fails("SetSecurityDescriptorControl") ? FALSE : SetSecurityDescriptorControl(d, i, s);
}
FARPROC WINAPI FakeGetProcAddress(HMODULE m, LPCSTR name) {
  const std::string which = std::string("GetProcAddress ") + name;
  if (Fails(which.c_str())) return nullptr;
  if (RealSecurityApi().GetProcAddress(m, name) == nullptr) return nullptr;
  if (std::string(name) == "AddAccessAllowedAceEx") return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeAddAllowed));
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FakeSetControl));
}
BOOL WINAPI FakeFreeLibrary(HMODULE m) {
  g_releases.push_back("FreeLibrary");
  return RealSecurityApi().FreeLibrary(m);
}
BOOL WINAPI FakeAllocSid(PSID_IDENTIFIER_AUTHORITY a, BYTE n, DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4,
                         DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
  if (Fails("AllocateAndInitializeSid")) return FALSE;
  return RealSecurityApi().AllocateAndInitializeSid(a, n, s0, s1, s2, s3, s4, s5, s6, s7, sid);
}
PVOID WINAPI FakeFreeSid(PSID sid) {
  g_releases.push_back("FreeSid");
  return RealSecurityApi().FreeSid(sid);
}
BOOL WINAPI FakeGetFileSecurity(LPCSTR, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR d, DWORD n, LPDWORD needed) {
  if (info != DACL_SECURITY_INFORMATION) ADD_FAILURE() << "reads more than the DACL";
  const bool sizing = d == nullptr;
  if (Fails(sizing ? "GetFileSecurityA sizing" : "GetFileSecurityA")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *needed = static_cast<DWORD>(g_descriptor.size());
  if (sizing) {
    if (g_sizingSucceeds) return TRUE;
    SetLastError(g_sizingError);
    return FALSE;
  }
  if (n < g_descriptor.size()) return FALSE;
  memcpy(d, g_descriptor.data(), g_descriptor.size());
  return TRUE;
}
BOOL WINAPI FakeSetFileSecurity(LPCSTR, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR d) {
  if (Fails("SetFileSecurityA")) return FALSE;
  EXPECT_EQ(info, static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION));
  g_wrote = true;
  DWORD revision = 0;
  GetSecurityDescriptorControl(d, &g_writtenControl, &revision);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  GetSecurityDescriptorDacl(d, &present, &acl, &defaulted);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(acl);
  g_writtenAcl.assign(bytes, bytes + acl->AclSize);
  return TRUE;
}
LPVOID WINAPI FakeHeapAlloc(HANDLE h, DWORD flags, SIZE_T n) {
  const std::string which = "HeapAlloc " + std::to_string(g_heapBlocks.size() + 1);
  if (flags != HEAP_ZERO_MEMORY) ADD_FAILURE() << "heap blocks are zero-filled";
  if (Fails(which.c_str())) return nullptr;
  void* block = RealSecurityApi().HeapAlloc(h, flags, n);
  g_heapBlocks.push_back(block);
  return block;
}
BOOL WINAPI FakeHeapFree(HANDLE h, DWORD flags, LPVOID block) {
  for (std::size_t i = 0; i < g_heapBlocks.size(); ++i) {
    if (g_heapBlocks[i] == block) g_releases.push_back("HeapFree " + std::to_string(i + 1));
  }
  return RealSecurityApi().HeapFree(h, flags, block);
}
BOOL WINAPI FakeInitSd(PSECURITY_DESCRIPTOR d, DWORD r) { return Fails("InitializeSecurityDescriptor") ? FALSE : InitializeSecurityDescriptor(d, r); }
BOOL WINAPI FakeGetDacl(PSECURITY_DESCRIPTOR d, LPBOOL p, PACL* a, LPBOOL df) { return Fails("GetSecurityDescriptorDacl") ? FALSE : GetSecurityDescriptorDacl(d, p, a, df); }
BOOL WINAPI FakeSetDacl(PSECURITY_DESCRIPTOR d, BOOL p, PACL a, BOOL df) { return Fails("SetSecurityDescriptorDacl") ? FALSE : SetSecurityDescriptorDacl(d, p, a, df); }
BOOL WINAPI FakeGetControl(PSECURITY_DESCRIPTOR d, PSECURITY_DESCRIPTOR_CONTROL c, LPDWORD r) { return Fails("GetSecurityDescriptorControl") ? FALSE : GetSecurityDescriptorControl(d, c, r); }
BOOL WINAPI FakeGetAclInfo(PACL a, LPVOID i, DWORD n, ACL_INFORMATION_CLASS c) { return Fails("GetAclInformation") ? FALSE : GetAclInformation(a, i, n, c); }
BOOL WINAPI FakeInitAcl(PACL a, DWORD n, DWORD r) { return Fails("InitializeAcl") ? FALSE : InitializeAcl(a, n, r); }
BOOL WINAPI FakeGetAce(PACL a, DWORD i, LPVOID* ace) {
  if (g_throwFromGetAce) throw std::runtime_error("thrown through the grant");
  return Fails("GetAce") ? FALSE : GetAce(a, i, ace);
}
BOOL WINAPI FakeAddAce(PACL a, DWORD r, DWORD s, LPVOID l, DWORD n) { return Fails("AddAce") ? FALSE : AddAce(a, r, s, l, n); }
std::vector<const void*> g_sidsCompared;
BOOL WINAPI RecordingEqualSid(PSID a, PSID b) {
  g_sidsCompared.push_back(b);
  return EqualSid(a, b);
}

class GrantSeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_failCall.clear();
    g_calls.clear();
    g_releases.clear();
    g_heapBlocks.clear();
    g_throwFromGetAce = false;
    g_wrote = false;
    g_writtenAcl.clear();
    g_sizingError = ERROR_INSUFFICIENT_BUFFER;
    g_sizingSucceeds = false;
    SecurityApi& api = g_securityApi;
    api.GetSystemDirectoryA = &FakeGetSystemDirectory;
    api.strcat_s = &FakeStrcat;
    api.LoadLibraryA = &FakeLoadLibrary;
    api.GetProcAddress = &FakeGetProcAddress;
    api.FreeLibrary = &FakeFreeLibrary;
    api.AllocateAndInitializeSid = &FakeAllocSid;
    api.FreeSid = &FakeFreeSid;
    api.GetFileSecurityA = &FakeGetFileSecurity;
    api.SetFileSecurityA = &FakeSetFileSecurity;
    api.HeapAlloc = &FakeHeapAlloc;
    api.HeapFree = &FakeHeapFree;
    api.InitializeSecurityDescriptor = &FakeInitSd;
    api.GetSecurityDescriptorDacl = &FakeGetDacl;
    api.SetSecurityDescriptorDacl = &FakeSetDacl;
    api.GetSecurityDescriptorControl = &FakeGetControl;
    api.GetAclInformation = &FakeGetAclInfo;
    api.InitializeAcl = &FakeInitAcl;
    api.GetAce = &FakeGetAce;
    api.AddAce = &FakeAddAce;
  }
  ScopedSecurityApi restore_;
  AceStore store_;
};

// The new entry, as the platform lays it out: allowed, object + container inherit, 20 bytes,
// GENERIC_ALL, S-1-1-0.
const Bytes kNewEveryoneAce = {0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x10,
                               0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};

// An ACL as bytes: revision 2, its size and entry count, the entries, zeros up to the size.
Bytes Acl(std::uint16_t size, const std::vector<Bytes>& aces) {
  Bytes out = {0x02, 0x00, static_cast<std::uint8_t>(size & 0xFF), static_cast<std::uint8_t>(size >> 8),
               static_cast<std::uint8_t>(aces.size()), 0x00, 0x00, 0x00};
  for (const Bytes& ace : aces) out.insert(out.end(), ace.begin(), ace.end());
  out.resize(size, 0);
  return out;
}

TEST_F(GrantSeamTest, HandsTheMergedDaclAndItsControlBitsToTheOneWrite) {
  const AceRecord eUsers = store_.Make(kAllowed, 0, 0x1200A9, kUsers);          // 24 bytes
  const AceRecord eEveryone = store_.Make(kAllowed, 0, 0x120089, kEveryone);    // 20
  const AceRecord iSystem = store_.Make(kAllowed, kInherited | 0x03, 0x1F01FF, kSystem);
  const AceRecord iEveryone = store_.Make(kAllowed, kInherited, 0x1F01FF, kEveryone);
  struct Case {
    const char* what;
    DaclKind kind;
    std::vector<AceRecord> aces;
    WORD oldControl;
    Bytes expectedAcl;  // written out here, not computed by the merge under test
    WORD expectedBits;  // of 0x1500
  };
  const Bytes alone = {0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0x00, 0x00,
                       0x00, 0x10, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  const Case cases[] = {
      {"no DACL: the new entry alone, 28 bytes", DaclKind::None, {}, 0, alone, 0},
      {"a null DACL: the same", DaclKind::Null, {}, 0, alone, 0},
      {"an empty DACL, auto-inherited: the same, and 0x0500", DaclKind::Present, {}, SE_DACL_AUTO_INHERITED, alone, 0x0500},
      {"the mixed list, protected: the explicit Everyone entry dropped, its 20 bytes left free", DaclKind::Present,
       {eUsers, eEveryone, iSystem, iEveryone}, SE_DACL_PROTECTED,
       Acl(112, {RawOf(eUsers), kNewEveryoneAce, RawOf(iSystem), RawOf(iEveryone)}), 0x1000},
      {"both bits: auto-inherited wins", DaclKind::Present, {eEveryone, iSystem}, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
       Acl(68, {kNewEveryoneAce, RawOf(iSystem)}), 0x0500},
      {"neither bit: only inherited entries, the new one goes first", DaclKind::Present, {iSystem}, 0,
       Acl(48, {kNewEveryoneAce, RawOf(iSystem)}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_descriptor = MakeDescriptor(c.kind, c.aces, c.oldControl);
    g_calls.clear();
    g_wrote = false;
    EXPECT_TRUE(GrantFolderAccess("C:\\any\\folder"));
    ASSERT_TRUE(g_wrote);
    // The security library by its full path in the system directory, never by a search.
    char system[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryA(system, MAX_PATH), 0u);
    EXPECT_EQ(g_libraryLoaded, std::string(system) + "\\advapi32.dll");
    EXPECT_EQ(g_writtenAcl, c.expectedAcl);
    EXPECT_EQ(g_writtenControl & 0x1500, c.expectedBits);
    // The DACL is present, and not marked as defaulted.
    EXPECT_EQ(g_writtenControl & (SE_DACL_PRESENT | SE_DACL_DEFAULTED), SE_DACL_PRESENT);
    const bool controlCalled = std::find(g_calls.begin(), g_calls.end(), "SetSecurityDescriptorControl") != g_calls.end();
    EXPECT_EQ(controlCalled, c.expectedBits != 0);
    // A missing or null DACL has no size to ask for: the old list is never read.
    const bool sized = std::find(g_calls.begin(), g_calls.end(), "GetAclInformation") != g_calls.end();
    EXPECT_EQ(sized, c.kind == DaclKind::Present);
  }
}

TEST_F(GrantSeamTest, AnEntryTooShortForAWholeSidIsKeptAndNeverCompared) {
  // An explicit entry of 16 bytes whose SID part is S-1-1-0's first 8 bytes, the ACL's free
  // zero bytes after it: read past its end, it would look like Everyone and be dropped.
  const AceRecord shortEveryone = store_.Truncated(16, kEveryone);
  std::vector<unsigned char> acl = Acl(8 + 16 + 8, {RawOf(shortEveryone)});
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
  DWORD size = 0;
  MakeSelfRelativeSD(&sd, nullptr, &size);
  g_descriptor.assign(size, 0);
  ASSERT_TRUE(MakeSelfRelativeSD(&sd, g_descriptor.data(), &size));

  g_sidsCompared.clear();
  g_securityApi.EqualSid = &RecordingEqualSid;
  EXPECT_TRUE(GrantFolderAccess("C:\\any\\folder"));
  ASSERT_TRUE(g_wrote);
  EXPECT_EQ(g_writtenAcl, Acl(44, {RawOf(shortEveryone), kNewEveryoneAce}));  // 24 in use + 20
  EXPECT_TRUE(g_sidsCompared.empty()) << "the platform's comparison never sees an entry without a whole SID";
}

TEST_F(GrantSeamTest, EveryFailingCallEndsWithFalseWritesNothingAndReleasesInOrder) {
  const AceRecord eUsers = store_.Make(kAllowed, 0, 0x1200A9, kUsers);
  const AceRecord iSystem = store_.Make(kAllowed, kInherited, 0x1F01FF, kSystem);
  g_descriptor = MakeDescriptor(DaclKind::Present, {eUsers, iSystem}, SE_DACL_AUTO_INHERITED);
  const std::vector<std::string> all = {"FreeLibrary", "FreeSid", "HeapFree 1", "HeapFree 2"};
  const std::vector<std::string> libOnly = {"FreeLibrary"};
  const std::vector<std::string> libSid = {"FreeLibrary", "FreeSid"};
  const std::vector<std::string> oneBlock = {"FreeLibrary", "FreeSid", "HeapFree 1"};
  struct Case {
    const char* failing;
    std::vector<std::string> releases;
  };
  const Case cases[] = {
      {"GetSystemDirectoryA", {}},
      {"strcat_s \\", {}},
      {"strcat_s advapi32.dll", {}},
      {"LoadLibraryA", {}},
      {"GetProcAddress SetSecurityDescriptorControl", libOnly},
      {"GetProcAddress AddAccessAllowedAceEx", libOnly},
      {"AllocateAndInitializeSid", libOnly},
      {"GetFileSecurityA sizing", libSid},
      {"HeapAlloc 1", libSid},
      {"GetFileSecurityA", oneBlock},
      {"InitializeSecurityDescriptor", oneBlock},
      {"GetSecurityDescriptorDacl", oneBlock},
      {"GetAclInformation", oneBlock},
      {"HeapAlloc 2", oneBlock},
      {"InitializeAcl", all},
      {"GetAce", all},
      {"AddAce", all},
      {"AddAccessAllowedAceEx", all},
      {"SetSecurityDescriptorDacl", all},
      {"GetSecurityDescriptorControl", all},
      {"SetSecurityDescriptorControl", all},
      {"SetFileSecurityA", all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    g_failCall = c.failing;
    g_calls.clear();
    g_releases.clear();
    g_heapBlocks.clear();
    g_wrote = false;
    EXPECT_FALSE(GrantFolderAccess("C:\\any\\folder"));
    EXPECT_FALSE(g_wrote);
    EXPECT_EQ(g_releases, c.releases);
    EXPECT_NE(std::find(g_calls.begin(), g_calls.end(), c.failing), g_calls.end()) << "the failing call was reached";
  }
}

TEST_F(GrantSeamTest, AMissingEntryPointStopsBeforeTheSidAndTheRead) {
  for (const char* missing : {"GetProcAddress SetSecurityDescriptorControl", "GetProcAddress AddAccessAllowedAceEx"}) {
    g_failCall = missing;
    g_calls.clear();
    EXPECT_FALSE(GrantFolderAccess("C:\\any\\folder"));
    for (const std::string& call : g_calls) {
      EXPECT_TRUE(call.rfind("AllocateAndInitializeSid", 0) != 0 && call.rfind("GetFileSecurityA", 0) != 0) << call;
    }
  }
}

TEST_F(GrantSeamTest, TheSizingCallMustAskForABuffer) {
  g_descriptor = MakeDescriptor(DaclKind::None, {}, 0);
  g_sizingSucceeds = true;
  EXPECT_FALSE(GrantFolderAccess("C:\\any\\folder"));
  g_sizingSucceeds = false;
  g_sizingError = ERROR_FILE_NOT_FOUND;
  EXPECT_FALSE(GrantFolderAccess("C:\\any\\folder"));
  EXPECT_FALSE(g_wrote);
  EXPECT_EQ(g_releases.back(), "FreeSid");
}

TEST_F(GrantSeamTest, AnExceptionPassingThroughStillReleasesEverything) {
  const AceRecord eUsers = store_.Make(kAllowed, 0, 0x1200A9, kUsers);
  g_descriptor = MakeDescriptor(DaclKind::Present, {eUsers}, 0);
  g_throwFromGetAce = true;
  EXPECT_THROW(GrantFolderAccess("C:\\any\\folder"), std::runtime_error);
  EXPECT_EQ(g_releases, (std::vector<std::string>{"FreeLibrary", "FreeSid", "HeapFree 1", "HeapFree 2"}));
}

// The Everyone entries of a real folder's DACL: (flags, mask) of each.
std::vector<std::pair<std::uint8_t, std::uint32_t>> EveryoneEntries(const std::string& dir) {
  std::vector<std::pair<std::uint8_t, std::uint32_t>> out;
  DWORD needed = 0;
  GetFileSecurityA(dir.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> sd(needed);
  if (!GetFileSecurityA(dir.c_str(), DACL_SECURITY_INFORMATION, sd.data(), needed, &needed)) return out;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted) || !present || dacl == nullptr) return out;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) break;
    const AceRecord ace = AceFromBytes(static_cast<const std::uint8_t*>(raw));
    if (ace.type == kAllowed && AceHoldsSid(ace, kEveryone.data(), kEveryone.size())) out.emplace_back(ace.flags, ace.mask);
  }
  return out;
}

// Full access as the platform reports it back: GENERIC_ALL as written, or the file rights it
// maps to (a Unix file system cannot grant WRITE_DAC and WRITE_OWNER).
bool FullAccess(std::uint32_t mask) { return mask == 0x10000000u || (mask & 0x1301FFu) == 0x1301FFu; }

TEST(GrantRealFolder, OpensAFolderToEveryoneAndRefusesAMissingOne) {
  const std::string dir = wtest::FreshScratch("grant") + "folder";
  ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
  for (const auto& entry : EveryoneEntries(dir)) {
    EXPECT_FALSE(FullAccess(entry.second)) << "a new folder is not open to everyone yet: " << std::hex << entry.second;
  }
  EXPECT_TRUE(GrantFolderAccess(dir.c_str()));
  EXPECT_TRUE(GrantFolderAccess(dir.c_str())) << "a second grant on the same folder";

  // Read back: the folder's DACL holds one Everyone entry with full, inheritable access.
  const auto entries = EveryoneEntries(dir);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first & 0x03, 0x03);
  EXPECT_TRUE(FullAccess(entries[0].second)) << std::hex << entries[0].second;

  EXPECT_FALSE(GrantFolderAccess((dir + "\\does-not-exist").c_str()));
}

}  // namespace
