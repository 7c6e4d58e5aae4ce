#include "WebInstallerApp.h"

#include "GrantFolderAccess.h"
#include "cabinet_callback.h"
#include "cfile.h"
#include "held_files.h"
#include "installer_launch.h"
#include "launcher_api.h"
#include "prepare_work_folder.h"
#include "product_constants.h"
#include "single_instance.h"

CWebInstallerApp::CWebInstallerApp() : CWinApp(nullptr), m_hMutex(nullptr) {}

BOOL CWebInstallerApp::InitInstance() {
  // From here on a library loaded by name alone comes from the system directory only, so
  // a DLL planted beside the launcher (a downloads folder) is never loaded. Best effort.
  (void)g_launcherApi.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  (void)CWinApp::InitInstance();

  CFile cabinetFile;  // belongs to the whole step; the payload is written through it
  HoldBudget holds;   // how long the run has waited for files that other programs held

  const OsKind osKind = QueryPlatformKind();
  if (!AcquireSingleInstance(*this, osKind)) return FALSE;

  CStringA workFolder;
  if (!PrepareWorkFolder(osKind, workFolder)) return FALSE;

  // The payload: written whole into the work folder, straight from the mapped resource,
  // then unpacked beside it.
  CStringA cabinetPath;
  cabinetPath.Format("%s%s%s", workFolder.GetString(), "\\", product::kCabinetFileName);
  HRSRC found = g_launcherApi.FindResourceA(m_hInstance, MAKEINTRESOURCEA(product::kPayloadResourceName),
                                            MAKEINTRESOURCEA(product::kPayloadResourceType));
  if (found == nullptr) return FALSE;  // a launcher built without its payload
  HGLOBAL loaded = g_launcherApi.LoadResource(m_hInstance, found);
  const DWORD payloadSize = g_launcherApi.SizeofResource(m_hInstance, found);
  const void* payload = loaded != nullptr ? g_launcherApi.LockResource(loaded) : nullptr;
  if (payload == nullptr || payloadSize == 0) return FALSE;

  if (!OpenCabinetWhenFree(cabinetFile, cabinetPath, holds)) return FALSE;
  try {
    cabinetFile.Write(payload, payloadSize);  // one write of the whole payload
  } catch (...) {
    cabinetFile.Abort();  // what was written stays
    return FALSE;
  }
  try {
    cabinetFile.Close();
  } catch (const CFileException&) {
    return FALSE;  // the cabinet on disk cannot be trusted to be whole
  }

  ExtractionRoot = workFolder;
  ExtractionRoot += '\\';
  CStringA iterationPath;
  iterationPath.Format("%s%s%s", workFolder.GetString(), "\\", product::kCabinetFileName);
  // Every entry whole on disk, or the run ends: nothing is launched from an incomplete set.
  if (!IterateCabinetWhenFree(iterationPath, holds)) return FALSE;
  (void)GrantFolderAccess(workFolder);  // the unpacked set, opened to every user again

  LaunchInstaller(workFolder, holds);  // whatever it gave, the run reached its end
  return TRUE;
}

int CWebInstallerApp::ExitInstance() {
  if (m_hMutex != nullptr) {
    (void)g_launcherApi.CloseHandle(m_hMutex);  // nothing to do about a failure at exit
    m_hMutex = nullptr;
  }
  return CWinApp::ExitInstance();
}
