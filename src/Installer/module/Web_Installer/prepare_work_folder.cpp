#include "prepare_work_folder.h"

#include "GrantFolderAccess.h"
#include "RegistryStringValue.h"
#include "launcher_api.h"
#include "product_constants.h"
#include "temp_path.h"
#include "work_folder.h"

BOOL PrepareWorkFolder(OsKind kind, CStringA& workFolder) {
  char tempPath[product::kPathBufferSize] = {};
  if (!NarrowTempPath(tempPath)) return FALSE;
  workFolder = ComposeWorkFolder(tempPath);

  // Only its availability is checked; the path itself is not used.
  char modulePath[product::kPathBufferSize] = {};
  if (g_launcherApi.GetModuleFileNameA(nullptr, modulePath, product::kPathBufferSize) == 0) return FALSE;

  RegistryStringValue runOnce(HKEY_CURRENT_USER, product::kRunOnceSubKey);
  const CStringA command = CleanupCommand(kind, workFolder);
  if (!runOnce.SetString(product::kRunOnceValueName, command)) return FALSE;

  // A folder left by an earlier run (its cleanup not yet run) is used as it is. Anything
  // else under that name (a plain file, say) is not a work folder: the run ends there, and
  // it is neither opened to every user nor written into.
  if (!g_launcherApi.CreateDirectoryA(workFolder, nullptr)) {
    if (g_launcherApi.GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
    const DWORD attributes = g_launcherApi.GetFileAttributesA(workFolder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FALSE;
  }

  (void)GrantFolderAccess(workFolder);  // the run goes on with the folder's own security
  return TRUE;
}
