// The platform calls of the folder access grant, reached through a table that tests can
// replace. The two entry points resolved at run time are called through the pointers that
// GetProcAddress returned, so a test reaches them by replacing GetProcAddress.
#pragma once

#include <windows.h>

#include "scoped_table.h"

using SetSecurityDescriptorControlFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                     SECURITY_DESCRIPTOR_CONTROL);
using AddAccessAllowedAceExFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, DWORD, PSID);

struct SecurityApi {
  decltype(&::GetSystemDirectoryA) GetSystemDirectoryA;
  errno_t (*strcat_s)(char*, size_t, const char*);
  decltype(&::LoadLibraryA) LoadLibraryA;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::FreeLibrary) FreeLibrary;
  decltype(&::AllocateAndInitializeSid) AllocateAndInitializeSid;
  decltype(&::FreeSid) FreeSid;
  decltype(&::GetFileSecurityA) GetFileSecurityA;
  decltype(&::SetFileSecurityA) SetFileSecurityA;
  decltype(&::GetLastError) GetLastError;
  decltype(&::GetProcessHeap) GetProcessHeap;
  decltype(&::HeapAlloc) HeapAlloc;
  decltype(&::HeapFree) HeapFree;
  decltype(&::InitializeSecurityDescriptor) InitializeSecurityDescriptor;
  decltype(&::GetSecurityDescriptorDacl) GetSecurityDescriptorDacl;
  decltype(&::SetSecurityDescriptorDacl) SetSecurityDescriptorDacl;
  decltype(&::GetSecurityDescriptorControl) GetSecurityDescriptorControl;
  decltype(&::GetAclInformation) GetAclInformation;
  decltype(&::GetLengthSid) GetLengthSid;
  decltype(&::InitializeAcl) InitializeAcl;
  decltype(&::GetAce) GetAce;
  decltype(&::AddAce) AddAce;
  decltype(&::EqualSid) EqualSid;
};

extern SecurityApi g_securityApi;
const SecurityApi& RealSecurityApi();

using ScopedSecurityApi = ScopedTable<SecurityApi, g_securityApi>;  // restores the table when it goes out of scope
