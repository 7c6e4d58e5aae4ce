// Preparing the work folder, through the seams: the order of its steps and every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher_api.h"
#include "prepare_work_folder.h"
#include "registry_api.h"
#include "security_api.h"
#include "support.h"

namespace {

std::vector<std::string> g_calls;
std::string g_tempPath;           // what GetTempPathA hands out
constexpr DWORD kRealLength = 0xFFFFFFFF;
DWORD g_tempResult = kRealLength;  // what GetTempPathA returns
DWORD g_moduleResult = 1;         // 0 makes GetModuleFileNameA fail
DWORD g_createError = 0;          // non-zero makes CreateDirectoryA fail with it
DWORD g_lastError = 0;
bool g_registryFails = false;
bool g_grantFails = false;
std::string g_folderMade;

// Both temp-path fakes: the call is recorded, the buffer must come zero-filled, and the
// result is the forced one (a failure leaves the buffer as it was) or `path`, handed out.
template <typename Char>
DWORD HandOutTempPath(const char* call, DWORD size, Char* buffer, DWORD forced, const std::basic_string<Char>& path) {
  g_calls.push_back(call);
  EXPECT_EQ(size, 260u);
  for (DWORD i = 0; i < size; ++i) EXPECT_EQ(buffer[i], 0) << "zero-filled before the call";
  if (forced != kRealLength) return forced;
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}
DWORD WINAPI FakeTempPath(DWORD size, LPSTR buffer) {
  return HandOutTempPath("GetTempPathA", size, buffer, g_tempResult, g_tempPath);
}
// The wide calls stand in front of the real ones: each is recorded, and can be made to fail
// or to hand out a chosen result.
std::wstring g_wideTemp;               // what GetTempPathW hands out
DWORD g_wideTempResult = kRealLength;  // forced result of GetTempPathW
std::wstring g_shortForm;              // forced short form; empty: the real GetShortPathNameW
DWORD g_shortResult = kRealLength;     // forced result of GetShortPathNameW
bool g_conversionFails = false;
DWORD WINAPI FakeTempPathW(DWORD size, LPWSTR buffer) {
  return HandOutTempPath("GetTempPathW", size, buffer, g_wideTempResult, g_wideTemp);
}
DWORD WINAPI FakeShortPath(LPCWSTR longPath, LPWSTR buffer, DWORD size) {
  g_calls.push_back("GetShortPathNameW");
  EXPECT_EQ(std::wstring(longPath), g_wideTemp) << "the short form of the temp path itself";
  EXPECT_EQ(size, 260u);
  if (g_shortResult != kRealLength) {
    // A platform that filled the whole buffer, without room for a terminator: nothing of it
    // may be read.
    for (DWORD i = 0; i < size; ++i) buffer[i] = i + 1 == size ? L'\\' : L'a';
    return g_shortResult;
  }
  if (!g_shortForm.empty()) {
    lstrcpyW(buffer, g_shortForm.c_str());
    return static_cast<DWORD>(g_shortForm.size());
  }
  return RealLauncherApi().GetShortPathNameW(longPath, buffer, size);
}
int WINAPI FakeMultiByteToWide(UINT codePage, DWORD flags, LPCCH narrow, int narrowLength, LPWSTR wide, int size) {
  g_calls.push_back("MultiByteToWideChar");
  EXPECT_EQ(codePage, static_cast<UINT>(CP_ACP)) << "read back through the code page the narrow path came in";
  EXPECT_EQ(flags, static_cast<DWORD>(MB_ERR_INVALID_CHARS));
  EXPECT_EQ(narrowLength, -1);
  EXPECT_EQ(size, 260);
  return RealLauncherApi().MultiByteToWideChar(codePage, flags, narrow, narrowLength, wide, size);
}
int WINAPI FakeWideToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideLength, LPSTR narrow, int size,
                               LPCCH defaultChar, LPBOOL usedDefault) {
  g_calls.push_back("WideCharToMultiByte");
  EXPECT_EQ(codePage, static_cast<UINT>(CP_ACP));
  EXPECT_EQ(flags, static_cast<DWORD>(WC_NO_BEST_FIT_CHARS)) << "no look-alike characters";
  EXPECT_EQ(wideLength, -1);
  EXPECT_EQ(size, 260);
  EXPECT_EQ(defaultChar, nullptr);
  EXPECT_NE(usedDefault, nullptr) << "a lost character must be seen";
  if (g_conversionFails) return 0;
  return RealLauncherApi().WideCharToMultiByte(codePage, flags, wide, wideLength, narrow, size, defaultChar,
                                               usedDefault);
}
DWORD WINAPI FakeModuleFileName(HMODULE module, LPSTR buffer, DWORD size) {
  g_calls.push_back("GetModuleFileNameA");
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(size, 260u);
  if (g_moduleResult == 0) return 0;
  return RealLauncherApi().GetModuleFileNameA(module, buffer, size);
}
BOOL WINAPI FakeCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES sa) {
  g_calls.push_back("CreateDirectoryA");
  EXPECT_EQ(sa, nullptr);
  g_folderMade = path;
  if (g_createError != 0) {
    g_lastError = g_createError;
    return FALSE;
  }
  const BOOL ok = RealLauncherApi().CreateDirectoryA(path, sa);
  g_lastError = ok ? 0 : GetLastError();
  return ok;
}
DWORD WINAPI FakeLastError() { return g_lastError; }
std::string g_attributesAsked;
DWORD WINAPI FakeFileAttributes(LPCSTR path) {
  g_calls.push_back("GetFileAttributesA");
  g_attributesAsked = path;
  return RealLauncherApi().GetFileAttributesA(path);
}
LONG WINAPI FakeRegCreate(HKEY root, LPCSTR sub, DWORD r, LPSTR c, DWORD o, REGSAM a, LPSECURITY_ATTRIBUTES s,
                          PHKEY k, LPDWORD d) {
  g_calls.push_back("RegCreateKeyExA");
  if (g_registryFails) return ERROR_ACCESS_DENIED;
  return RealRegistryApi().RegCreateKeyExA(root, sub, r, c, o, a, s, k, d);
}
UINT WINAPI FakeSystemDirectory(LPSTR buffer, UINT size) {
  g_calls.push_back("grant");
  if (g_grantFails) return 0;
  return RealSecurityApi().GetSystemDirectoryA(buffer, size);
}

class PrepareWorkFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wtest::DeleteRunOnceValue();
    g_calls.clear();
    g_tempPath = wtest::FreshScratch("prepare");
    g_tempResult = kRealLength;
    g_moduleResult = 1;
    g_createError = 0;
    g_registryFails = false;
    g_grantFails = false;
    g_launcherApi.GetTempPathA = &FakeTempPath;
    g_launcherApi.GetModuleFileNameA = &FakeModuleFileName;
    g_wideTemp = Widen(g_tempPath);  // the narrow path reads back as the wide one
    g_wideTempResult = kRealLength;
    g_shortForm.clear();
    g_shortResult = kRealLength;
    g_conversionFails = false;
    g_launcherApi.GetTempPathW = &FakeTempPathW;
    g_launcherApi.GetShortPathNameW = &FakeShortPath;
    g_launcherApi.WideCharToMultiByte = &FakeWideToMultiByte;
    g_launcherApi.MultiByteToWideChar = &FakeMultiByteToWide;
    g_launcherApi.CreateDirectoryA = &FakeCreateDirectory;
    g_launcherApi.GetLastError = &FakeLastError;
    g_launcherApi.GetFileAttributesA = &FakeFileAttributes;
    g_registryApi.RegCreateKeyExA = &FakeRegCreate;
    g_securityApi.GetSystemDirectoryA = &FakeSystemDirectory;
  }
  void TearDown() override { wtest::DeleteRunOnceValue(); }
  bool ValueRegistered() {
    std::vector<unsigned char> data;
    DWORD type = 0;
    return wtest::ReadRunOnceValue(data, type);
  }
  std::string Folder() const { return g_tempPath + wtest::kGuid; }
  static std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }
  ScopedLauncherApi restoreLauncher_;
  ScopedRegistryApi restoreRegistry_;
  ScopedSecurityApi restoreSecurity_;
};

TEST_F(PrepareWorkFolderTest, RegistersTheCleanupBeforeMakingTheFolder) {
  CStringA folder;
  ASSERT_TRUE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(std::string(folder), Folder());
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
                                                "GetModuleFileNameA", "RegCreateKeyExA", "CreateDirectoryA", "grant"}));
  EXPECT_TRUE(wtest::IsDirectory(Folder()));
  std::vector<unsigned char> data;
  DWORD type = 0;
  ASSERT_TRUE(wtest::ReadRunOnceValue(data, type));
  EXPECT_EQ(data, wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + Folder() + "\""));

  // Again over the existing folder: it is used as it is, once it is known to be a folder.
  g_calls.clear();
  ASSERT_TRUE(PrepareWorkFolder(OsKind::Win9x, folder));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
                                                "GetModuleFileNameA", "RegCreateKeyExA", "CreateDirectoryA",
                                                "GetFileAttributesA", "grant"}));
  EXPECT_EQ(g_attributesAsked, Folder());
  ASSERT_TRUE(wtest::ReadRunOnceValue(data, type));
  EXPECT_EQ(data, wtest::StoredRegistryLayout("command /C deltree /Y \"" + Folder() + "\""));
}

TEST_F(PrepareWorkFolderTest, EachFailureEndsTheRunAtItsStep) {
  struct Case {
    const char* what;
    DWORD tempResult, moduleResult, createError;
    bool registryFails;
    std::vector<std::string> calls;
    bool registered, folder;
  };
  const Case cases[] = {
      {"no temp path", 0, 1, 0, false, {"GetTempPathA"}, false, false},
      {"a temp path longer than the buffer (the length it needs)", 261, 1, 0, false, {"GetTempPathA"}, false, false},
      {"a temp path of exactly 260: no room for its terminator", 260, 1, 0, false, {"GetTempPathA"}, false, false},
      {"no module path", kRealLength, 0, 0, false, {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
       "GetModuleFileNameA"}, false, false},
      {"the value cannot be written: no folder", kRealLength, 1, 0, true,
       {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar", "GetModuleFileNameA", "RegCreateKeyExA"}, false, false},
      {"the folder cannot be made: the value stays", kRealLength, 1, ERROR_PATH_NOT_FOUND, false,
       {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar", "GetModuleFileNameA", "RegCreateKeyExA",
        "CreateDirectoryA"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteRunOnceValue();
    wtest::DeleteTree(Folder());
    g_calls.clear();
    g_tempResult = c.tempResult;
    g_moduleResult = c.moduleResult;
    g_createError = c.createError;
    g_registryFails = c.registryFails;
    CStringA folder;
    EXPECT_FALSE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
    EXPECT_EQ(g_calls, c.calls);
    EXPECT_EQ(ValueRegistered(), c.registered);
    EXPECT_EQ(wtest::PathExists(Folder()), c.folder);
    // Nothing landed in the current directory either (and what did is cleared away, so that
    // it does not fail every later run as well).
    const bool stray = wtest::PathExists(wtest::kGuid);
    EXPECT_FALSE(stray) << "a work folder in the current directory";
    if (stray) wtest::DeleteTree(wtest::kGuid);
  }
}

TEST_F(PrepareWorkFolderTest, APlainFileUnderTheFoldersNameIsNeitherUsedNorOpenedToEveryone) {
  ASSERT_TRUE(wtest::WriteWholeFile(Folder(), "a file of the user's"));
  CStringA folder;
  EXPECT_FALSE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
                                                "GetModuleFileNameA", "RegCreateKeyExA", "CreateDirectoryA",
                                                "GetFileAttributesA"}))
      << "no grant on what is not the work folder";
  EXPECT_TRUE(ValueRegistered()) << "the value was written before";
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(wtest::ReadWholeFile(Folder(), bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "a file of the user's");
  wtest::DeleteTree(Folder());
}

TEST_F(PrepareWorkFolderTest, AFailingGrantDoesNotStopTheRun) {
  g_grantFails = true;
  CStringA folder;
  EXPECT_TRUE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(g_calls.back(), "grant");
  EXPECT_TRUE(wtest::IsDirectory(Folder()));
}

// A temp directory whose long name the ANSI code page cannot hold: U+20BB7 (a surrogate
// pair, in no ANSI code page) and U+7530. The narrow path the platform hands out for it
// holds '?' in their place.
class ShortFormTest : public PrepareWorkFolderTest {
 protected:
  void SetUp() override {
    PrepareWorkFolderTest::SetUp();
    root_ = g_tempPath;  // a fresh scratch folder, ASCII
    wideRoot_ = Widen(root_);
    wideTemp_ = wideRoot_ + L"\xD842\xDFB7\x7530\\";
    ASSERT_TRUE(CreateDirectoryW(wideTemp_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    g_wideTemp = wideTemp_;
    g_tempPath = root_ + "??\x93\x63\\";  // what the narrow call gives (the last character, in 932)
  }
  void TearDown() override {
    RemoveDirectoryW((wideTemp_ + Widen(wtest::kGuid)).c_str());
    RemoveDirectoryW(wideTemp_.c_str());
    PrepareWorkFolderTest::TearDown();
  }
  // The long form of a narrow path the launcher composed, as the platform resolves it.
  static std::wstring LongForm(const std::string& narrow) {
    wchar_t wide[520] = {};
    wchar_t longPath[520] = {};
    if (MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, wide, 520) == 0) return L"";
    if (GetLongPathNameW(wide, longPath, 520) == 0) return L"";
    return longPath;
  }
  std::string root_;
  std::wstring wideRoot_, wideTemp_;
};

TEST_F(ShortFormTest, ATempPathTheCodePageCannotHoldIsReachedThroughItsShortForm) {
  CStringA folder;
  ASSERT_TRUE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "GetShortPathNameW",
                                                "WideCharToMultiByte", "GetModuleFileNameA", "RegCreateKeyExA",
                                                "CreateDirectoryA", "grant"}));
  const std::string made(folder);
  EXPECT_EQ(made.find('?'), std::string::npos) << made;
  EXPECT_EQ(made.compare(0, root_.size(), root_), 0) << "the short form of the same temp directory: " << made;
  EXPECT_EQ(made.substr(made.size() - std::string(wtest::kGuid).size()), wtest::kGuid);
  EXPECT_EQ(g_folderMade, made);
  // The folder made is the one inside the user's real temp directory.
  EXPECT_EQ(LongForm(made), wideTemp_ + Widen(wtest::kGuid));
  // The cleanup value names the same short form, so that it deletes that folder.
  std::vector<unsigned char> data;
  DWORD type = 0;
  ASSERT_TRUE(wtest::ReadRunOnceValue(data, type));
  EXPECT_EQ(data, wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + made + "\""));
}

// A temp directory whose long name the code page maps to look-alikes: the platform's
// best-fit tables hand out "Jose" for "José", a path that names another directory (or
// none). The narrow path does not read back as the wide one, and the folder is reached
// through the short form, as for a '?'.
TEST_F(ShortFormTest, ATempPathHandedOutWithLookAlikesIsReachedThroughItsShortForm) {
  struct Case {
    std::wstring name;
    std::string lookAlike;  // what a best-fit mapping hands out for it
  };
  const Case cases[] = {{L"Jos\x00E9", "Jose"}, {L"M\x00FCller \x00F1\x00DF", "Muller ns"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lookAlike);
    const std::wstring wideTemp = wideRoot_ + c.name + L"\\";
    ASSERT_TRUE(CreateDirectoryW(wideTemp.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    g_wideTemp = wideTemp;
    g_tempPath = root_ + c.lookAlike + "\\";
    g_calls.clear();
    wtest::DeleteRunOnceValue();
    CStringA folder;
    ASSERT_TRUE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
                                                  "GetShortPathNameW", "WideCharToMultiByte", "GetModuleFileNameA",
                                                  "RegCreateKeyExA", "CreateDirectoryA", "grant"}));
    const std::string made(folder);
    EXPECT_NE(made, root_ + c.lookAlike + "\\" + wtest::kGuid) << "not the look-alike's folder";
    EXPECT_EQ(LongForm(made), wideTemp + Widen(wtest::kGuid)) << "the folder inside the real temp directory";
    EXPECT_FALSE(wtest::PathExists(root_ + c.lookAlike)) << "nothing made under the look-alike name";
    std::vector<unsigned char> data;
    DWORD type = 0;
    ASSERT_TRUE(wtest::ReadRunOnceValue(data, type));
    EXPECT_EQ(data, wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + made + "\""));
    RemoveDirectoryW((wideTemp + Widen(wtest::kGuid)).c_str());
    RemoveDirectoryW(wideTemp.c_str());
  }
}

TEST_F(ShortFormTest, WithoutALosslessNarrowFormNothingIsRegisteredOrMade) {
  const std::vector<std::string> upToShort = {"GetTempPathA", "GetTempPathW", "GetShortPathNameW"};
  const std::vector<std::string> upToConversion = {"GetTempPathA", "GetTempPathW", "GetShortPathNameW",
                                                   "WideCharToMultiByte"};
  struct Case {
    const char* what;
    DWORD wideTempResult;
    DWORD shortResult;
    std::wstring shortForm;  // empty: the real short form
    bool conversionFails;
    std::vector<std::string> calls;
  };
  const std::wstring noShortNames = wideTemp_;  // a volume that makes no 8.3 names hands back the long path
  const Case cases[] = {
      {"no wide temp path", 0, kRealLength, L"", false, {"GetTempPathA", "GetTempPathW"}},
      {"a wide temp path longer than the buffer", 261, kRealLength, L"", false, {"GetTempPathA", "GetTempPathW"}},
      {"no short form", kRealLength, 0, L"", false, upToShort},
      {"a short form longer than the buffer", kRealLength, 300, L"", false, upToShort},
      {"a short form of exactly 260: no room for its terminator", kRealLength, 260, L"", false, upToShort},
      {"a short form without its trailing backslash", kRealLength, kRealLength,
       wideRoot_.substr(0, wideRoot_.size() - 1), false, upToShort},
      {"short names are not made: the long path comes back", kRealLength, kRealLength, noShortNames, false,
       upToConversion},
      {"a short form holding a character the code page lacks", kRealLength, kRealLength,
       wideRoot_ + L"\x0100\\", false, upToConversion},
      {"the conversion fails", kRealLength, kRealLength, L"", true, upToConversion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteRunOnceValue();
    g_calls.clear();
    g_wideTempResult = c.wideTempResult;
    g_shortResult = c.shortResult;
    g_shortForm = c.shortForm;
    g_conversionFails = c.conversionFails;
    g_folderMade.clear();
    CStringA folder;
    EXPECT_FALSE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
    EXPECT_EQ(g_calls, c.calls) << "the run ends before the module path, the value and the folder";
    EXPECT_FALSE(ValueRegistered());
    EXPECT_TRUE(g_folderMade.empty());
    EXPECT_FALSE(wtest::PathExists(wtest::kGuid)) << "nothing in the current directory";
  }
}

}  // namespace
