#include "work_folder.h"

#include "product_constants.h"

CStringA ComposeWorkFolder(const char* tempPath) {
  CStringA folder;
  folder.Format("%s%s", tempPath, product::kProductGuid);
  return folder;
}

CStringA CleanupCommand(OsKind kind, const char* workFolder) {
  CStringA command;
  command.Format(kind == OsKind::Win9x ? product::kDeltreeTemplate : product::kRdTemplate, workFolder);
  return command;
}
