#include "installer_launch.h"

#include <cstdint>

#include "held_files.h"
#include "launch_decision.h"
#include "launcher_api.h"

void LaunchInstaller(const char* workFolder, HoldBudget& holds) {
  CStringA parameters;
  parameters.Format("");  // an empty argument string, never a null one
  const CStringA program = EntryProgramPath(workFolder);

  SHELLEXECUTEINFOA launch = {};
  launch.cbSize = sizeof(launch);
  launch.fMask = SEE_MASK_NOCLOSEPROCESS;
  launch.hwnd = nullptr;
  launch.lpVerb = nullptr;  // the file's default verb
  launch.lpFile = program;
  launch.lpParameters = parameters;
  launch.lpDirectory = nullptr;  // the installer starts in our current directory
  launch.nShow = SW_SHOWNORMAL;

  if (!StartableWhenFree(program, holds)) return;  // held past the bound: as a launch that failed
  const BOOL result = g_launcherApi.ShellExecuteExA(&launch);
  // hInstApp carries a result code, not a handle: its low 32 bits, signed.
  const auto code = static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(launch.hInstApp)));
  if (!LaunchStarted(result, code)) return;

  // No handle at all makes the wait return at once.
  (void)g_launcherApi.WaitForSingleObject(launch.hProcess, INFINITE);
  if (launch.hProcess != nullptr) (void)g_launcherApi.CloseHandle(launch.hProcess);
}
