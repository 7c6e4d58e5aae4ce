// Every platform call of the launcher's own steps, reached through one table that tests
// can replace. The table holds the real calls unless a ScopedLauncherApi swapped entries.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <shellapi.h>

struct LauncherApi {
  decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories;
  decltype(&::GetVersionExA) GetVersionExA;
  decltype(&::CreateMutexA) CreateMutexA;
  decltype(&::GetLastError) GetLastError;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetTempPathA) GetTempPathA;
  decltype(&::GetModuleFileNameA) GetModuleFileNameA;
  decltype(&::CreateDirectoryA) CreateDirectoryA;
  decltype(&::GetFileAttributesA) GetFileAttributesA;
  decltype(&::FindResourceA) FindResourceA;
  decltype(&::LoadResource) LoadResource;
  decltype(&::SizeofResource) SizeofResource;
  decltype(&::LockResource) LockResource;
  decltype(&::GetACP) GetACP;
  decltype(&::SetupIterateCabinetA) SetupIterateCabinetA;
  decltype(&::ShellExecuteExA) ShellExecuteExA;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
};

extern LauncherApi g_launcherApi;
const LauncherApi& RealLauncherApi();

class ScopedLauncherApi {
 public:
  ScopedLauncherApi() : m_saved(g_launcherApi) {}
  ~ScopedLauncherApi() { g_launcherApi = m_saved; }
  ScopedLauncherApi(const ScopedLauncherApi&) = delete;
  ScopedLauncherApi& operator=(const ScopedLauncherApi&) = delete;

 private:
  LauncherApi m_saved;
};
