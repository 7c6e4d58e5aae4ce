#include "temp_path.h"

#include <cstring>
#include <cwchar>

#include "launcher_api.h"
#include "temp_path_form.h"

namespace {

// Whether `narrow`, converted back through the ANSI code page, is exactly `wide`.
bool ReadsBack(const char* narrow, const wchar_t* wide) {
  wchar_t back[product::kPathBufferSize] = {};
  const int converted = g_launcherApi.MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow, -1, back,
                                                          product::kPathBufferSize);
  return converted != 0 && std::wcscmp(back, wide) == 0;
}

// The short form of the temp directory `longPath`, or FALSE. GetShortPathNameW keeps the
// trailing backslash of the path it is given; the converted form must keep it too, since the
// work folder's name is appended to it directly.
BOOL ShortTempPath(const wchar_t* longPath, char (&path)[product::kPathBufferSize]) {
  wchar_t shortPath[product::kPathBufferSize] = {};
  const DWORD shortLength = g_launcherApi.GetShortPathNameW(longPath, shortPath, product::kPathBufferSize);
  if (shortLength == 0 || shortLength >= product::kPathBufferSize) return FALSE;
  if (shortPath[shortLength - 1] != L'\\') return FALSE;

  // No best-fit mapping: a character the code page lacks must show as lost, not as a
  // look-alike that names another directory.
  std::memset(path, 0, sizeof(path));
  BOOL lost = FALSE;
  const int converted = g_launcherApi.WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, shortPath, -1, path,
                                                          product::kPathBufferSize, nullptr, &lost);
  if (converted == 0 || lost || HoldsReplacedCharacter(path)) {
    std::memset(path, 0, sizeof(path));
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOL NarrowTempPath(char (&path)[product::kPathBufferSize]) {
  std::memset(path, 0, sizeof(path));
  const DWORD length = g_launcherApi.GetTempPathA(product::kPathBufferSize, path);
  // A path that does not fit comes back as the length it needs, with the buffer left
  // untouched; taking that as success would put the folder in the current directory.
  if (length == 0 || length >= product::kPathBufferSize) return FALSE;

  // The narrow path is checked against the true one: the platform may have put a look-alike
  // or a '?' in place of a character the code page lacks, and then it names another
  // directory, or none.
  wchar_t longPath[product::kPathBufferSize] = {};
  const DWORD longLength = g_launcherApi.GetTempPathW(product::kPathBufferSize, longPath);
  const bool wideKnown = longLength != 0 && longLength < product::kPathBufferSize;
  const bool replaced = HoldsReplacedCharacter(path);  // a loss that shows without a conversion
  switch (ChooseTempPathForm(replaced, wideKnown, wideKnown && !replaced && ReadsBack(path, longPath))) {
    case TempPathForm::AsHandedOut:
      return TRUE;
    case TempPathForm::ShortForm:
      return ShortTempPath(longPath, path);
    case TempPathForm::None:
      break;
  }
  std::memset(path, 0, sizeof(path));
  return FALSE;
}
