// Fakes of the calls through which the launcher finds the user's temp directory, shared by
// the tests of the temp path and of the work folder's preparation. Each fake records its
// name in Calls() (the list the tests' other fakes write to as well), checks the arguments
// the launcher must pass, and hands out what `g_tempFakes` says, or the real call's answer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace wtest {

inline constexpr DWORD kHandOut = 0xFFFFFFFF;  // a fake's result: hand out its path, return its length

struct TempFakes {
  std::string narrow;             // what GetTempPathA hands out
  DWORD narrowResult = kHandOut;  // anything else: returned, the buffer left untouched
  std::wstring wide;              // what GetTempPathW hands out
  DWORD wideResult = kHandOut;
  std::wstring shortForm;          // what GetShortPathNameW hands out; empty: the real short form
  DWORD shortResult = kHandOut;    // anything else: returned, the whole buffer filled
  bool conversionFails = false;    // WideCharToMultiByte returns 0
};
extern TempFakes g_tempFakes;

std::vector<std::string>& Calls();

// Puts the fakes into the launcher's table (the caller's ScopedLauncherApi restores it), with
// `narrow` (ASCII) as the temp path, which reads back as itself, and clears Calls().
void InstallTempFakes(const std::string& narrow);

std::wstring Widen(const std::string& ascii);
// The long form of a narrow path, as the platform resolves it (empty when it does not).
std::wstring LongForm(const std::string& narrow);

}  // namespace wtest
