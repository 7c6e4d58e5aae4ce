// Preparing the work folder, through the seams: the order of its steps, every failure, and
// the temp path's short form as what is registered and made.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher_api.h"
#include "prepare_work_folder.h"
#include "registry_api.h"
#include "security_api.h"
#include "support.h"
#include "temp_path_fakes.h"

namespace {

std::vector<std::string>& g_calls = wtest::Calls();  // the temp path's fakes record into it too
DWORD g_moduleResult = 1;         // 0 makes GetModuleFileNameA fail
DWORD g_createError = 0;          // non-zero makes CreateDirectoryA fail with it
DWORD g_lastError = 0;
bool g_registryFails = false;
bool g_grantFails = false;
std::string g_folderMade;

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
    wtest::InstallTempFakes(wtest::FreshScratch("prepare"));
    g_moduleResult = 1;
    g_createError = 0;
    g_registryFails = false;
    g_grantFails = false;
    g_launcherApi.GetModuleFileNameA = &FakeModuleFileName;
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
  std::string Folder() const { return wtest::g_tempFakes.narrow + wtest::kGuid; }
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
      {"no module path", wtest::kHandOut, 0, 0, false, {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
       "GetModuleFileNameA"}, false, false},
      {"the value cannot be written: no folder", wtest::kHandOut, 1, 0, true,
       {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar", "GetModuleFileNameA", "RegCreateKeyExA"}, false, false},
      {"the folder cannot be made: the value stays", wtest::kHandOut, 1, ERROR_PATH_NOT_FOUND, false,
       {"GetTempPathA", "GetTempPathW", "MultiByteToWideChar", "GetModuleFileNameA", "RegCreateKeyExA",
        "CreateDirectoryA"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteRunOnceValue();
    wtest::DeleteTree(Folder());
    g_calls.clear();
    wtest::g_tempFakes.narrowResult = c.tempResult;
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
// pair, in no ANSI code page) and U+7530; the narrow path the platform hands out holds '?' in
// their place. Its short form is what the cleanup value names and what is made, and where
// there is no lossless form, nothing is registered or made.
TEST_F(PrepareWorkFolderTest, TheTempPathsShortFormIsWhatIsRegisteredAndMade) {
  const std::string root = wtest::g_tempFakes.narrow;
  const std::wstring wideTemp = wtest::Widen(root) + L"\xD842\xDFB7\x7530\\";
  ASSERT_TRUE(CreateDirectoryW(wideTemp.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  wtest::g_tempFakes.wide = wideTemp;
  wtest::g_tempFakes.narrow = root + "??\x93\x63\\";  // what the narrow call gives (the last character, in 932)
  CStringA folder;
  ASSERT_TRUE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "GetShortPathNameW",
                                                "WideCharToMultiByte", "GetModuleFileNameA", "RegCreateKeyExA",
                                                "CreateDirectoryA", "grant"}));
  const std::string made(folder);
  EXPECT_EQ(g_folderMade, made);
  // The folder made is the one inside the user's real temp directory.
  EXPECT_EQ(wtest::LongForm(made), wideTemp + wtest::Widen(wtest::kGuid));
  // The cleanup value names the same short form, so that it deletes that folder.
  std::vector<unsigned char> data;
  DWORD type = 0;
  ASSERT_TRUE(wtest::ReadRunOnceValue(data, type));
  EXPECT_EQ(data, wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + made + "\""));
  RemoveDirectoryW((wideTemp + wtest::Widen(wtest::kGuid)).c_str());

  // No short form: the run ends before the module path, the value and the folder.
  wtest::DeleteRunOnceValue();
  g_calls.clear();
  g_folderMade.clear();
  wtest::g_tempFakes.shortResult = 0;
  EXPECT_FALSE(PrepareWorkFolder(OsKind::Nt6OrLater, folder));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "GetShortPathNameW"}));
  EXPECT_FALSE(ValueRegistered());
  EXPECT_TRUE(g_folderMade.empty());
  EXPECT_FALSE(wtest::PathExists(wtest::kGuid)) << "nothing in the current directory";
  RemoveDirectoryW(wideTemp.c_str());
}

}  // namespace
