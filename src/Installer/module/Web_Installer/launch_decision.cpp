#include "launch_decision.h"

#include "product_constants.h"

CStringA EntryProgramPath(const char* workFolder) {
  CStringA path;
  path.Format("%s%s%s", workFolder, "\\", product::kEntryProgramName);
  return path;
}

bool LaunchStarted(int shellExecuteResult, std::int32_t instAppCode) {
  return shellExecuteResult != 0 && instAppCode > 32;
}
