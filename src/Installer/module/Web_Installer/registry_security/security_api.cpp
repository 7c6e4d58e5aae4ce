#include "security_api.h"

#include <cstring>

namespace {
errno_t BoundedConcatenate(char* buffer, size_t size, const char* text) { return ::strcat_s(buffer, size, text); }

const SecurityApi kRealSecurityApi = {
    &::GetSystemDirectoryA,
    &BoundedConcatenate,
    &::LoadLibraryA,
    &::GetProcAddress,
    &::FreeLibrary,
    &::AllocateAndInitializeSid,
    &::FreeSid,
    &::GetFileSecurityA,
    &::SetFileSecurityA,
    &::GetLastError,
    &::GetProcessHeap,
    &::HeapAlloc,
    &::HeapFree,
    &::InitializeSecurityDescriptor,
    &::GetSecurityDescriptorDacl,
    &::SetSecurityDescriptorDacl,
    &::GetSecurityDescriptorControl,
    &::GetAclInformation,
    &::GetLengthSid,
    &::InitializeAcl,
    &::GetAce,
    &::AddAce,
    &::EqualSid,
};
}  // namespace

SecurityApi g_securityApi = kRealSecurityApi;
const SecurityApi& RealSecurityApi() { return kRealSecurityApi; }
