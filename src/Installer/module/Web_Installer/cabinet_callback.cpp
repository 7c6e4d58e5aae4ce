#include "cabinet_callback.h"

#include <setupapi.h>

#include "cabinet_target.h"
#include "launcher_api.h"

CStringA ExtractionRoot;
bool ExtractionAbandoned = false;

namespace {

class PlatformFolders : public FolderOps {
 public:
  bool MakeFolder(const char* path) override { return g_launcherApi.CreateDirectoryA(path, nullptr) != FALSE; }
  bool PathExists(const char* path) override {
    return g_launcherApi.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }
};

}  // namespace

UINT CALLBACK CabinetCallback(PVOID /*context*/, UINT notification, UINT_PTR param1, UINT_PTR /*param2*/) {
  if (notification != SPFILENOTIFY_FILEINCABINET) return NO_ERROR;
  auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1);
  static_assert(sizeof(info->FullTargetName) == cabinet::kTargetSize, "the target field is MAX_PATH bytes");
  PlatformFolders folders;
  const UINT answer = CabinetDecision(notification, ExtractionRoot, info->NameInCabinet, info->FullTargetName,
                                     folders, g_launcherApi.GetACP(), ExtractionAbandoned);
  if (answer == FILEOP_ABORT) SetLastError(ERROR_BAD_PATHNAME);  // the platform reports it as the failure
  return answer;
}
