#include "single_instance.h"

#include "WebInstallerApp.h"
#include "launcher_api.h"

OsKind QueryPlatformKind() {
  // The plain record (148 bytes), zero-filled, so that every version of the platform fills it.
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  const BOOL ok = g_launcherApi.GetVersionExA(&version);
  return ClassifyPlatform(ok, version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion);
}

int AcquireSingleInstance(CWebInstallerApp& app, OsKind kind) {
  app.m_hMutex = g_launcherApi.CreateMutexA(nullptr, TRUE, SingleInstanceMutexName(kind));
  // Read before anything else can overwrite the last-error code, and before the handle test.
  const DWORD lastError = g_launcherApi.GetLastError();
  if (app.m_hMutex == nullptr) return FALSE;
  if (lastError == ERROR_ALREADY_EXISTS) return FALSE;
  return TRUE;
}
