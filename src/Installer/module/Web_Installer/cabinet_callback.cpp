#include "cabinet_callback.h"

#include <setupapi.h>

#include <cstring>

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

// The entry last answered "extract": the target the callback named and the entry's size in
// the cabinet, checked against the disk when the platform reports the entry extracted.
struct PendingEntry {
  bool set;
  char target[cabinet::kTargetSize];
  DWORD size;
};
PendingEntry g_pending = {};

UINT FileInCabinet(FILE_IN_CABINET_INFO_A* info) {
  static_assert(sizeof(info->FullTargetName) == cabinet::kTargetSize, "the target field is MAX_PATH bytes");
  char* target = info->FullTargetName;
  PlatformFolders folders;
  g_pending.set = false;
  const UINT answer = CabinetDecision(SPFILENOTIFY_FILEINCABINET, ExtractionRoot, info->NameInCabinet, target,
                                     folders, g_launcherApi.GetACP(), ExtractionAbandoned);
  if (answer == FILEOP_ABORT) {
    SetLastError(ERROR_BAD_PATHNAME);  // the platform reports it as the failure
    return answer;
  }
  std::memcpy(g_pending.target, target, sizeof(g_pending.target));
  g_pending.size = info->FileSize;
  g_pending.set = true;
  return answer;
}

UINT FileExtracted() {
  if (!g_pending.set) return NO_ERROR;  // not an entry this callback sent to the disk
  g_pending.set = false;
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  const bool found = g_launcherApi.GetFileAttributesExA(g_pending.target, GetFileExInfoStandard, &data) != FALSE &&
                     (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  const unsigned long long onDisk = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return ExtractedEntryAnswer(found, onDisk, g_pending.size, ExtractionAbandoned);
}

}  // namespace

void ResetExtraction() {
  ExtractionAbandoned = false;
  g_pending = PendingEntry{};
}

const char* EntryInProgress() { return g_pending.set ? g_pending.target : nullptr; }

UINT CALLBACK CabinetCallback(PVOID /*context*/, UINT notification, UINT_PTR param1, UINT_PTR /*param2*/) {
  if (notification == SPFILENOTIFY_FILEINCABINET) return FileInCabinet(reinterpret_cast<FILE_IN_CABINET_INFO_A*>(param1));
  if (notification == SPFILENOTIFY_FILEEXTRACTED) return FileExtracted();
  return NO_ERROR;
}
