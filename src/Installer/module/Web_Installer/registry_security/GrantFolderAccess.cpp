#include "GrantFolderAccess.h"

#include <cstdint>

#include "dacl_merge.h"
#include "security_api.h"

namespace {

// Everything the routine acquires, released in one place, in this order, on every way
// out (an exception passing through included): library, SID, old descriptor, new ACL.
struct GrantResources {
  HMODULE library = nullptr;
  PSID sid = nullptr;
  void* oldDescriptor = nullptr;
  void* newAcl = nullptr;

  GrantResources() = default;
  GrantResources(const GrantResources&) = delete;
  GrantResources& operator=(const GrantResources&) = delete;
  ~GrantResources() {
    if (library != nullptr) {
      g_securityApi.FreeLibrary(library);
      library = nullptr;
    }
    if (sid != nullptr) {
      g_securityApi.FreeSid(sid);
      sid = nullptr;
    }
    if (oldDescriptor != nullptr) {
      g_securityApi.HeapFree(g_securityApi.GetProcessHeap(), 0, oldDescriptor);
      oldDescriptor = nullptr;
    }
    if (newAcl != nullptr) {
      g_securityApi.HeapFree(g_securityApi.GetProcessHeap(), 0, newAcl);
      newAcl = nullptr;
    }
  }
};

class PlatformAceSource : public AceSource {
 public:
  PlatformAceSource(PACL dacl, DWORD count, PSID grantee) : m_dacl(dacl), m_count(count), m_grantee(grantee) {}
  std::size_t Count() const override { return m_count; }
  bool Read(std::size_t index, AceRecord& ace) override {
    void* raw = nullptr;
    if (!g_securityApi.GetAce(m_dacl, static_cast<DWORD>(index), &raw)) return false;
    ace = AceFromBytes(static_cast<const std::uint8_t*>(raw));
    return true;
  }
  bool IsGrantee(const AceRecord& ace) override {
    // The length test keeps EqualSid from reading past a short ACE.
    return AceHasWholeSid(ace) && g_securityApi.EqualSid(m_grantee, const_cast<std::uint8_t*>(ace.raw) + 8);
  }

 private:
  PACL m_dacl;
  DWORD m_count;
  PSID m_grantee;
};

class PlatformAceSink : public AceSink {
 public:
  PlatformAceSink(PACL acl, PSID grantee, AddAccessAllowedAceExFn addAllowed)
      : m_acl(acl), m_grantee(grantee), m_addAllowed(addAllowed) {}
  bool Copy(const AceRecord& ace) override {
    return g_securityApi.AddAce(m_acl, ACL_REVISION, MAXDWORD, const_cast<std::uint8_t*>(ace.raw), ace.size) != FALSE;
  }
  bool AddGrantee() override {
    return m_addAllowed(m_acl, ACL_REVISION, kGranteeAceFlags, kGranteeAceMask, m_grantee) != FALSE;
  }

 private:
  PACL m_acl;
  PSID m_grantee;
  AddAccessAllowedAceExFn m_addAllowed;
};

BOOL GrantWithResources(LPCSTR folderPath, GrantResources& held) {
  // The security library by its full path, never by a search.
  char libraryPath[MAX_PATH] = {};
  if (g_securityApi.GetSystemDirectoryA(libraryPath, MAX_PATH) == 0) return FALSE;
  if (g_securityApi.strcat_s(libraryPath, MAX_PATH, "\\") != 0) return FALSE;
  if (g_securityApi.strcat_s(libraryPath, MAX_PATH, "advapi32.dll") != 0) return FALSE;
  held.library = g_securityApi.LoadLibraryA(libraryPath);
  if (held.library == nullptr) return FALSE;

  // Both entry points are required, even where the control bits call is not made.
  const auto setControl = reinterpret_cast<SetSecurityDescriptorControlFn>(
      reinterpret_cast<void*>(g_securityApi.GetProcAddress(held.library, "SetSecurityDescriptorControl")));
  if (setControl == nullptr) return FALSE;
  const auto addAllowed = reinterpret_cast<AddAccessAllowedAceExFn>(
      reinterpret_cast<void*>(g_securityApi.GetProcAddress(held.library, "AddAccessAllowedAceEx")));
  if (addAllowed == nullptr) return FALSE;

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  if (!g_securityApi.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &held.sid)) {
    held.sid = nullptr;
    return FALSE;
  }

  // The folder's descriptor, DACL only: a sizing call that must ask for a buffer, then the read.
  DWORD needed = 0;
  if (g_securityApi.GetFileSecurityA(folderPath, DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) return FALSE;
  if (g_securityApi.GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
  held.oldDescriptor = g_securityApi.HeapAlloc(g_securityApi.GetProcessHeap(), HEAP_ZERO_MEMORY, needed);
  if (held.oldDescriptor == nullptr) return FALSE;
  if (!g_securityApi.GetFileSecurityA(folderPath, DACL_SECURITY_INFORMATION, held.oldDescriptor, needed, &needed)) {
    return FALSE;
  }

  SECURITY_DESCRIPTOR newDescriptor;
  if (!g_securityApi.InitializeSecurityDescriptor(&newDescriptor, SECURITY_DESCRIPTOR_REVISION)) return FALSE;

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL oldDacl = nullptr;
  if (!g_securityApi.GetSecurityDescriptorDacl(held.oldDescriptor, &present, &oldDacl, &defaulted)) return FALSE;
  if (oldDacl == nullptr) present = FALSE;  // a null DACL counts as none

  ACL_SIZE_INFORMATION info = {0, kAclHeaderSize, 0};
  if (present && !g_securityApi.GetAclInformation(oldDacl, &info, sizeof(info), AclSizeInformation)) return FALSE;

  const DWORD aclSize = GrantedAclSize(present != FALSE, info.AclBytesInUse, g_securityApi.GetLengthSid(held.sid));
  held.newAcl = g_securityApi.HeapAlloc(g_securityApi.GetProcessHeap(), HEAP_ZERO_MEMORY, aclSize);
  if (held.newAcl == nullptr) return FALSE;
  PACL newAcl = static_cast<PACL>(held.newAcl);
  if (!g_securityApi.InitializeAcl(newAcl, aclSize, ACL_REVISION)) return FALSE;

  PlatformAceSource source(oldDacl, present ? info.AceCount : 0, held.sid);
  PlatformAceSink sink(newAcl, held.sid, addAllowed);
  if (!MergeGrantedDacl(present != FALSE, source, sink)) return FALSE;

  if (!g_securityApi.SetSecurityDescriptorDacl(&newDescriptor, TRUE, newAcl, FALSE)) return FALSE;

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!g_securityApi.GetSecurityDescriptorControl(held.oldDescriptor, &control, &revision)) return FALSE;
  const ControlBits bits = InheritanceControlBits(control);
  if (bits.set && !setControl(&newDescriptor, bits.bitsOfInterest, bits.bitsToSet)) return FALSE;

  // The only write: the DACL alone; owner, group and SACL stay as they are.
  return g_securityApi.SetFileSecurityA(folderPath, DACL_SECURITY_INFORMATION, &newDescriptor) ? TRUE : FALSE;
}

}  // namespace

BOOL GrantFolderAccess(LPCSTR folderPath) {
  GrantResources held;
  return GrantWithResources(folderPath, held);
}
