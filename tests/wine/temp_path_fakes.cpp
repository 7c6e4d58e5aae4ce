#include "temp_path_fakes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "launcher_api.h"

namespace wtest {

TempFakes g_tempFakes;

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}

namespace {

// Both temp-path fakes: the call is recorded, the buffer must come zero-filled, and the
// result is the forced one (a failure leaves the buffer as it was) or `path`, handed out.
template <typename Char>
DWORD HandOutTempPath(const char* call, DWORD size, Char* buffer, DWORD forced, const std::basic_string<Char>& path) {
  Calls().push_back(call);
  EXPECT_EQ(size, 260u);
  for (DWORD i = 0; i < size; ++i) EXPECT_EQ(buffer[i], 0) << "zero-filled before the call";
  if (forced != kHandOut) return forced;
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}
DWORD WINAPI FakeTempPath(DWORD size, LPSTR buffer) {
  return HandOutTempPath("GetTempPathA", size, buffer, g_tempFakes.narrowResult, g_tempFakes.narrow);
}
DWORD WINAPI FakeTempPathW(DWORD size, LPWSTR buffer) {
  return HandOutTempPath("GetTempPathW", size, buffer, g_tempFakes.wideResult, g_tempFakes.wide);
}
DWORD WINAPI FakeShortPath(LPCWSTR longPath, LPWSTR buffer, DWORD size) {
  Calls().push_back("GetShortPathNameW");
  EXPECT_EQ(std::wstring(longPath), g_tempFakes.wide) << "the short form of the temp path itself";
  EXPECT_EQ(size, 260u);
  if (g_tempFakes.shortResult != kHandOut) {
    // A platform that filled the whole buffer, without room for a terminator: nothing of it
    // may be read.
    for (DWORD i = 0; i < size; ++i) buffer[i] = i + 1 == size ? L'\\' : L'a';
    return g_tempFakes.shortResult;
  }
  if (!g_tempFakes.shortForm.empty()) {
    lstrcpyW(buffer, g_tempFakes.shortForm.c_str());
    return static_cast<DWORD>(g_tempFakes.shortForm.size());
  }
  return RealLauncherApi().GetShortPathNameW(longPath, buffer, size);
}
int WINAPI FakeMultiByteToWide(UINT codePage, DWORD flags, LPCCH narrow, int narrowLength, LPWSTR wide, int size) {
  Calls().push_back("MultiByteToWideChar");
  EXPECT_EQ(codePage, static_cast<UINT>(CP_ACP)) << "read back through the code page the narrow path came in";
  EXPECT_EQ(flags, static_cast<DWORD>(MB_ERR_INVALID_CHARS));
  EXPECT_EQ(narrowLength, -1);
  EXPECT_EQ(size, 260);
  return RealLauncherApi().MultiByteToWideChar(codePage, flags, narrow, narrowLength, wide, size);
}
int WINAPI FakeWideToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow, int size,
                               LPCCH defaultChar, LPBOOL usedDefault) {
  Calls().push_back("WideCharToMultiByte");
  EXPECT_EQ(codePage, static_cast<UINT>(CP_ACP));
  EXPECT_EQ(flags, static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) << "no look-alike characters";
  EXPECT_EQ(wideLength, -1);
  EXPECT_EQ(size, 260);
  EXPECT_EQ(defaultChar, nullptr);
  EXPECT_NE(usedDefault, nullptr) << "a lost character must be seen";
  if (g_tempFakes.conversionFails) return 0;
  return RealLauncherApi().WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, size, defaultChar,
                                               usedDefault);
}

}  // namespace

void InstallTempFakes(const std::string& narrow) {
  g_tempFakes = TempFakes();
  g_tempFakes.narrow = narrow;
  g_tempFakes.wide = Widen(narrow);
  Calls().clear();
  g_launcherApi.GetTempPathA = &FakeTempPath;
  g_launcherApi.GetTempPathW = &FakeTempPathW;
  g_launcherApi.GetShortPathNameW = &FakeShortPath;
  g_launcherApi.MultiByteToWideChar = &FakeMultiByteToWide;
  g_launcherApi.WideCharToMultiByte = &FakeWideToMultiByte;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring LongForm(const std::string& narrow) {
  wchar_t wide[520] = {};
  wchar_t longPath[520] = {};
  if (MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, wide, 520) == 0) return L"";
  if (GetLongPathNameW(wide, longPath, 520) == 0) return L"";
  return longPath;
}

}  // namespace wtest
