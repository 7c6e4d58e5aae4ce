// Every platform call of the launcher's own steps, reached through one table that tests
// can replace. The table holds the real calls unless a ScopedLauncherApi swapped entries.
#pragma once

#include <windows.h>

#include "scoped_table.h"
#include <setupapi.h>
#include <shellapi.h>

struct LauncherApi {
  decltype(&::SetDefaultDllDirectories) SetDefaultDllDirectories;
  decltype(&::GetVersionExA) GetVersionExA;
  decltype(&::CreateMutexA) CreateMutexA;
  decltype(&::GetLastError) GetLastError;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetTempPathA) GetTempPathA;
  decltype(&::GetTempPathW) GetTempPathW;  // the true temp path, which the narrow one must read back as
  decltype(&::MultiByteToWideChar) MultiByteToWideChar;
  decltype(&::GetShortPathNameW) GetShortPathNameW;  // only for a narrow temp path that does not
  decltype(&::WideCharToMultiByte) WideCharToMultiByte;
  decltype(&::GetModuleFileNameA) GetModuleFileNameA;
  decltype(&::CreateDirectoryA) CreateDirectoryA;
  decltype(&::GetFileAttributesA) GetFileAttributesA;
  decltype(&::GetFileAttributesExA) GetFileAttributesExA;
  decltype(&::FindResourceA) FindResourceA;
  decltype(&::LoadResource) LoadResource;
  decltype(&::SizeofResource) SizeofResource;
  decltype(&::LockResource) LockResource;
  decltype(&::GetACP) GetACP;
  decltype(&::LoadLibraryExA) LoadLibraryExA;  // the libraries the services below resolve lazily
  decltype(&::SetupIterateCabinetA) SetupIterateCabinetA;
  decltype(&::CreateFileA) CreateFileA;  // whether a file another program may hold is free yet
  decltype(&::GetTickCount) GetTickCount;
  decltype(&::Sleep) Sleep;
  decltype(&::ShellExecuteExA) ShellExecuteExA;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
};

extern LauncherApi g_launcherApi;
const LauncherApi& RealLauncherApi();

using ScopedLauncherApi = ScopedTable<LauncherApi, g_launcherApi>;  // restores the table when it goes out of scope
