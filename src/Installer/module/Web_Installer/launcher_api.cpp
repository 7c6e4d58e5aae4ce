#include "launcher_api.h"

namespace {
const LauncherApi kRealLauncherApi = {
    &::SetDefaultDllDirectories,
    &::GetVersionExA,
    &::CreateMutexA,
    &::GetLastError,
    &::CloseHandle,
    &::GetTempPathA,
    &::GetModuleFileNameA,
    &::CreateDirectoryA,
    &::GetFileAttributesA,
    &::FindResourceA,
    &::LoadResource,
    &::SizeofResource,
    &::LockResource,
    &::GetACP,
    &::SetupIterateCabinetA,
    &::ShellExecuteExA,
    &::WaitForSingleObject,
};
}  // namespace

LauncherApi g_launcherApi = kRealLauncherApi;
const LauncherApi& RealLauncherApi() { return kRealLauncherApi; }
