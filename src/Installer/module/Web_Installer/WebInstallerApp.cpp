#include "WebInstallerApp.h"

#include "cfile.h"
#include "launcher_api.h"
#include "prepare_work_folder.h"
#include "single_instance.h"

CWebInstallerApp::CWebInstallerApp() : CWinApp(nullptr), m_hMutex(nullptr) {}

BOOL CWebInstallerApp::InitInstance() {
  // From here on a library loaded by name alone comes from the system directory only, so
  // a DLL planted beside the launcher (a downloads folder) is never loaded. Best effort.
  (void)g_launcherApi.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  (void)CWinApp::InitInstance();

  CFile cabinetFile;  // belongs to the whole step; the payload is written through it

  const OsKind osKind = QueryPlatformKind();
  if (!AcquireSingleInstance(*this, osKind)) return FALSE;

  CStringA workFolder;
  if (!PrepareWorkFolder(osKind, workFolder)) return FALSE;
  (void)cabinetFile;
  return TRUE;
}

int CWebInstallerApp::ExitInstance() {
  if (m_hMutex != nullptr) {
    (void)g_launcherApi.CloseHandle(m_hMutex);  // nothing to do about a failure at exit
    m_hMutex = nullptr;
  }
  return CWinApp::ExitInstance();
}
