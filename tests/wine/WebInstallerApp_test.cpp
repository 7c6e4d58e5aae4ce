// The start-up step from the guard to the launch, in process, through the seams: the
// payload's resource calls, the one write, the iteration, the two grants, and every way
// the extraction step ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "WebInstallerApp.h"
#include "cabinet_callback.h"
#include "file_api.h"
#include "launcher_api.h"
#include "security_api.h"
#include "support.h"

namespace {

std::vector<unsigned char> g_payload;
std::string g_temp;
bool g_resourceMissing = false;
bool g_resourceEmpty = false;
HMODULE g_moduleAsked = nullptr;
bool g_resourceIdsRight = false;
int g_writes = 0;
DWORD g_bytesAsked = 0;
const void* g_writeSource = nullptr;
bool g_writeFails = false;
bool g_closeFails = false;
int g_grants = 0;
int g_iterations = 0;
bool g_iterationFails = false;
bool g_decompressorMissing = false;
std::vector<std::string> g_libraryLoads;
std::string g_iterationPath;
bool g_iterationArgsRight = false;
std::string g_rootDuringIteration;
int g_launches = 0;

const HRSRC kFound = reinterpret_cast<HRSRC>(static_cast<uintptr_t>(0x5A5A));
const HGLOBAL kLoaded = reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(0xA5A5));

DWORD WINAPI FakeTempPath(DWORD, LPSTR buffer) {
  lstrcpyA(buffer, g_temp.c_str());
  return static_cast<DWORD>(g_temp.size());
}
DWORD WINAPI FakeTempPathW(DWORD, LPWSTR buffer) {  // the same path: it reads back as itself
  std::copy(g_temp.begin(), g_temp.end(), buffer);
  buffer[g_temp.size()] = L'\0';
  return static_cast<DWORD>(g_temp.size());
}
HRSRC WINAPI FakeFindResource(HMODULE module, LPCSTR name, LPCSTR type) {
  g_moduleAsked = module;
  g_resourceIdsRight = IS_INTRESOURCE(name) && IS_INTRESOURCE(type) && reinterpret_cast<uintptr_t>(name) == 137 &&
                       reinterpret_cast<uintptr_t>(type) == 5428;
  return g_resourceMissing ? nullptr : kFound;
}
HGLOBAL WINAPI FakeLoadResource(HMODULE, HRSRC found) { return found == kFound ? kLoaded : nullptr; }
DWORD WINAPI FakeSizeofResource(HMODULE, HRSRC found) {
  return found == kFound && !g_resourceEmpty ? static_cast<DWORD>(g_payload.size()) : 0;
}
LPVOID WINAPI FakeLockResource(HGLOBAL loaded) { return loaded == kLoaded ? g_payload.data() : nullptr; }
BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  ++g_writes;
  g_bytesAsked = size;
  g_writeSource = data;
  if (g_writeFails) {
    RealFileApi().WriteFile(file, data, size / 2, written, overlapped);  // part of it reaches the disk
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  return RealFileApi().WriteFile(file, data, size, written, overlapped);
}
BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  const BOOL closed = RealFileApi().CloseHandle(handle);
  return g_closeFails ? FALSE : closed;
}
UINT WINAPI CountingGrant(LPSTR buffer, UINT size) {
  ++g_grants;  // each grant starts by asking for the system directory
  return RealSecurityApi().GetSystemDirectoryA(buffer, size);
}
BOOL WINAPI FakeIterate(PCSTR path, DWORD reserved, PSP_FILE_CALLBACK_A callback, PVOID context) {
  ++g_iterations;
  g_iterationPath = path;
  g_iterationArgsRight = reserved == 0 && callback == &CabinetCallback && context == nullptr;
  g_rootDuringIteration = ExtractionRoot.GetString();
  if (g_iterationFails) {
    SetLastError(ERROR_INVALID_DATA);  // a cabinet the service cannot read: no hold
    return FALSE;
  }
  return RealLauncherApi().SetupIterateCabinetA(path, reserved, callback, context);
}
// The size check of each extracted entry: every path asked, and one entry (by its place in
// the order, from 1; 0: none) that the disk is made to report short or missing.
std::vector<std::string> g_sizesAsked;
size_t g_shortEntry = 0;
bool g_shortIsMissing = false;
BOOL WINAPI FakeFileAttributesEx(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  g_sizesAsked.push_back(path);
  EXPECT_EQ(level, GetFileExInfoStandard);
  const BOOL found = RealLauncherApi().GetFileAttributesExA(path, level, data);
  if (g_sizesAsked.size() != g_shortEntry) return found;
  if (g_shortIsMissing) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(data)->nFileSizeLow -= 1;
  return found;
}
HMODULE WINAPI FakeLoadLibraryEx(LPCSTR name, HANDLE file, DWORD flags) {
  g_libraryLoads.push_back(std::string(name) + (flags == LOAD_LIBRARY_SEARCH_SYSTEM32 ? " system32" : " other"));
  if (g_decompressorMissing && lstrcmpiA(name, "cabinet.dll") == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return RealLauncherApi().LoadLibraryExA(name, file, flags);
}
BOOL WINAPI FakeShellExecute(SHELLEXECUTEINFOA*) {
  ++g_launches;
  return FALSE;
}

class ExtractionStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(wtest::ReadWholeFile(wtest::BuildDir() + "\\payload\\small.cab", g_payload));
    g_temp = wtest::FreshScratch("extraction-step");
    g_resourceMissing = g_resourceEmpty = g_writeFails = g_closeFails = g_iterationFails = g_decompressorMissing = false;
    g_libraryLoads.clear();
    g_writes = g_grants = g_iterations = g_launches = 0;
    g_bytesAsked = 0;
    g_writeSource = nullptr;
    ExtractionRoot.Empty();
    g_launcherApi.GetTempPathA = &FakeTempPath;
    g_launcherApi.GetTempPathW = &FakeTempPathW;
    g_launcherApi.FindResourceA = &FakeFindResource;
    g_launcherApi.LoadResource = &FakeLoadResource;
    g_launcherApi.SizeofResource = &FakeSizeofResource;
    g_launcherApi.LockResource = &FakeLockResource;
    g_launcherApi.SetupIterateCabinetA = &FakeIterate;
    g_launcherApi.LoadLibraryExA = &FakeLoadLibraryEx;
    g_launcherApi.ShellExecuteExA = &FakeShellExecute;
    g_launcherApi.GetFileAttributesExA = &FakeFileAttributesEx;
    g_sizesAsked.clear();
    g_shortEntry = 0;
    g_shortIsMissing = false;
    g_fileApi.WriteFile = &FakeWriteFile;
    g_fileApi.CloseHandle = &FakeCloseHandle;
    g_securityApi.GetSystemDirectoryA = &CountingGrant;
    wtest::DeleteRunOnceValue();
  }
  void TearDown() override { wtest::DeleteRunOnceValue(); }

  BOOL RunStartUp() {
    CWebInstallerApp app;
    app.m_hInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
    const BOOL result = app.InitInstance();
    EXPECT_EQ(g_moduleAsked, app.m_hInstance);
    app.ExitInstance();
    return result;
  }
  std::string Folder() const { return g_temp + wtest::kGuid; }
  std::string Cabinet() const { return Folder() + "\\VOVore.cab"; }

  ScopedLauncherApi restoreLauncher_;
  ScopedFileApi restoreFile_;
  ScopedSecurityApi restoreSecurity_;
};

TEST_F(ExtractionStepTest, WritesThePayloadInOneWriteThenUnpacksAndGrantsAgain) {
  EXPECT_TRUE(RunStartUp());
  EXPECT_TRUE(g_resourceIdsRight) << "name 137, type 5428, as numeric identifiers";
  EXPECT_EQ(g_writes, 1);
  EXPECT_EQ(g_bytesAsked, g_payload.size());
  EXPECT_EQ(g_writeSource, g_payload.data()) << "written straight from the locked resource, no copy";
  std::vector<unsigned char> written;
  ASSERT_TRUE(wtest::ReadWholeFile(Cabinet(), written));
  EXPECT_TRUE(written == g_payload);
  EXPECT_EQ(g_iterations, 1);
  EXPECT_TRUE(g_iterationArgsRight);
  EXPECT_EQ(g_libraryLoads, std::vector<std::string>{"cabinet.dll system32"})
      << "the library that the service resolves lazily, from the system directory only";
  EXPECT_EQ(g_iterationPath, Cabinet());
  EXPECT_EQ(g_rootDuringIteration, Folder() + "\\");
  EXPECT_EQ(std::string(ExtractionRoot), Folder() + "\\") << "it keeps its value";
  EXPECT_TRUE(wtest::PathExists(Folder() + "\\RUZE_Derurerovo_Vozi.exe"));
  EXPECT_EQ(g_grants, 2) << "once after the folder is made, once after the extraction";
  EXPECT_EQ(g_launches, 1);
}

TEST_F(ExtractionStepTest, EachEntryIsCheckedOnDiskAndAShortOneEndsTheRunBeforeTheLaunch) {
  // A whole set: every entry's own target is checked once, in the cabinet's order, and the
  // run goes on as before.
  ASSERT_TRUE(RunStartUp());
  const std::vector<std::string> entries = wtest::ListTree(wtest::PayloadTree());
  ASSERT_EQ(g_sizesAsked.size(), entries.size());
  EXPECT_EQ(g_sizesAsked.front(), Folder() + "\\RUZE_Derurerovo_Vozi.exe") << "the cabinet's first entry";
  std::vector<std::string> asked;
  for (const std::string& path : g_sizesAsked) {
    ASSERT_EQ(path.compare(0, Folder().size() + 1, Folder() + "\\"), 0) << path;
    asked.push_back(path.substr(Folder().size() + 1));
  }
  std::sort(asked.begin(), asked.end());
  std::vector<std::string> expected = entries;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(asked, expected);
  EXPECT_EQ(g_launches, 1);

  struct Case {
    const char* what;
    size_t entry;
    bool missing;
  };
  const Case cases[] = {
      {"the first entry found one byte short", 1, false},
      {"an entry in the middle found short", 30, false},
      {"the last entry found missing", 0 /* the last */, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteTree(Folder());
    g_sizesAsked.clear();
    g_grants = g_iterations = g_launches = 0;
    g_shortEntry = c.entry != 0 ? c.entry : entries.size();
    g_shortIsMissing = c.missing;
    EXPECT_FALSE(RunStartUp());
    EXPECT_EQ(g_sizesAsked.size(), g_shortEntry) << "no entry is checked after the short one";
    EXPECT_TRUE(ExtractionAbandoned);
    EXPECT_EQ(g_grants, 1) << "no second grant";
    EXPECT_EQ(g_launches, 0) << "the installer is not started from an incomplete set";
    // The iteration stopped there: nothing after the short entry reached the disk.
    const std::vector<std::string> onDisk = wtest::ListTree(Folder() + "\\");
    EXPECT_EQ(onDisk.size(), g_shortEntry + 1) << "the entries up to the short one, and VOVore.cab";
  }
}

TEST_F(ExtractionStepTest, EveryFailureEndsTheRunWithWhatWasMadeLeftInPlace) {
  struct Case {
    const char* what;
    bool* flag;
    bool cabinetExists, cabinetWhole, rootSet;
    int iterations, grants;
  };
  const Case cases[] = {
      {"no payload resource", &g_resourceMissing, false, false, false, 0, 1},
      {"a payload of size 0", &g_resourceEmpty, false, false, false, 0, 1},
      {"the write fails: the partial cabinet stays", &g_writeFails, true, false, false, 0, 1},
      {"the close fails after a whole write", &g_closeFails, true, true, false, 0, 1},
      {"the iteration fails: no second grant", &g_iterationFails, true, true, true, 1, 1},
      // Not from the system directory, then not by name either: as if there were no service.
      {"the decompressor cannot be loaded from the system directory", &g_decompressorMissing, true, true, true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteTree(Folder());
    ExtractionRoot.Empty();
    g_writes = g_grants = g_iterations = g_launches = 0;
    *c.flag = true;
    EXPECT_FALSE(RunStartUp());
    *c.flag = false;
    EXPECT_EQ(wtest::PathExists(Cabinet()), c.cabinetExists);
    std::vector<unsigned char> written;
    wtest::ReadWholeFile(Cabinet(), written);
    EXPECT_EQ(written == g_payload, c.cabinetWhole);
    EXPECT_EQ(ExtractionRoot.IsEmpty(), !c.rootSet);
    EXPECT_EQ(g_iterations, c.iterations);
    EXPECT_EQ(g_grants, c.grants);
    EXPECT_EQ(g_launches, 0);
    EXPECT_FALSE(wtest::PathExists(Folder() + "\\RUZE_Derurerovo_Vozi.exe")) << "nothing unpacked";
  }
}

}  // namespace
