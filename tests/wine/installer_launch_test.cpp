// The launch through the seam: the record handed to the shell, and when the launcher waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer_launch.h"
#include "launcher_api.h"
#include "support.h"

namespace {

SHELLEXECUTEINFOA g_seen;
std::string g_file;
const char* g_parameters = nullptr;
BOOL g_result = TRUE;
uintptr_t g_instApp = 42;
HANDLE g_process = nullptr;
int g_waits = 0;
HANDLE g_waitedOn = nullptr;
DWORD g_timeout = 0;

BOOL WINAPI FakeShellExecute(SHELLEXECUTEINFOA* info) {
  g_seen = *info;
  g_file = info->lpFile != nullptr ? info->lpFile : "(null)";
  g_parameters = info->lpParameters;
  info->hInstApp = reinterpret_cast<HINSTANCE>(g_instApp);
  info->hProcess = g_process;
  return g_result;
}
std::vector<HANDLE> g_closed;
BOOL WINAPI RecordingClose(HANDLE handle) {
  g_closed.push_back(handle);
  return RealLauncherApi().CloseHandle(handle);
}
DWORD WINAPI RecordingWait(HANDLE handle, DWORD timeout) {
  ++g_waits;
  g_waitedOn = handle;
  g_timeout = timeout;
  return RealLauncherApi().WaitForSingleObject(handle, timeout);
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_result = TRUE;
    g_instApp = 42;
    g_process = nullptr;
    g_waits = 0;
    g_launcherApi.ShellExecuteExA = &FakeShellExecute;
    g_launcherApi.WaitForSingleObject = &RecordingWait;
    g_launcherApi.CloseHandle = &RecordingClose;
    g_closed.clear();
  }
  ScopedLauncherApi restore_;
};

TEST_F(LaunchTest, HandsTheShellTheRecordAsSet) {
  HoldBudget holds;
  LaunchInstaller("C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}", holds);
  EXPECT_EQ(g_seen.cbSize, sizeof(SHELLEXECUTEINFOA));
  EXPECT_EQ(g_seen.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
  EXPECT_EQ(g_seen.hwnd, nullptr);
  EXPECT_EQ(g_seen.lpVerb, nullptr);
  EXPECT_EQ(g_file, "C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}\\RUZE_Derurerovo_Vozi.exe");
  ASSERT_NE(g_parameters, nullptr) << "an empty argument string, not an absent one";
  EXPECT_EQ(g_seen.lpDirectory, nullptr);
  EXPECT_EQ(g_seen.nShow, SW_SHOWNORMAL);
  EXPECT_EQ(g_seen.hInstApp, nullptr);
  EXPECT_EQ(g_seen.lpIDList, nullptr);
  EXPECT_EQ(g_seen.lpClass, nullptr);
  EXPECT_EQ(g_seen.hkeyClass, nullptr);
  EXPECT_EQ(g_seen.dwHotKey, 0u);
  EXPECT_EQ(g_seen.hIcon, nullptr);
  EXPECT_EQ(g_seen.hProcess, nullptr);
#ifndef _WIN64
  EXPECT_EQ(sizeof(SHELLEXECUTEINFOA), 60u);
#endif
}

TEST_F(LaunchTest, WaitsWithoutLimitOnlyForAStartedLaunch) {
  HANDLE self = nullptr;
  // A handle that is signalled at once: a process that has already ended.
  HANDLE ended = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  struct Case {
    BOOL result;
    uintptr_t instApp;
    bool waits;
  };
  const Case cases[] = {
      {FALSE, 42, false}, {TRUE, 32, false}, {TRUE, 33, true}, {TRUE, static_cast<uintptr_t>(0x80000021u), false},
  };
  for (const Case& c : cases) {
    g_result = c.result;
    g_instApp = c.instApp;
    g_process = DuplicateHandle(GetCurrentProcess(), ended, GetCurrentProcess(), &self, 0, FALSE, DUPLICATE_SAME_ACCESS)
                    ? self
                    : nullptr;
    g_waits = 0;
    HoldBudget holds;
    LaunchInstaller("C:\\W", holds);
    EXPECT_EQ(g_waits, c.waits ? 1 : 0) << c.result << " " << c.instApp;
    if (c.waits) {
      EXPECT_EQ(g_waitedOn, g_process);
      EXPECT_EQ(g_timeout, INFINITE);
      EXPECT_EQ(g_closed, std::vector<HANDLE>{g_process}) << "the process handle is closed after the wait";
      g_closed.clear();
    } else {
      CloseHandle(g_process);
    }
  }
  CloseHandle(ended);
}

TEST_F(LaunchTest, AStartedLaunchWithoutAProcessHandleReturnsAtOnce) {
  g_process = nullptr;
  const DWORD start = GetTickCount();
  HoldBudget holds;
  LaunchInstaller("C:\\W", holds);
  EXPECT_EQ(g_waits, 1);
  EXPECT_LT(GetTickCount() - start, 5000u);
}

// The entry program held by another program: the shell is asked only once it is free, and
// not at all when it stays held past the bound; a program that is not there is the shell's
// to meet, at once, as without the test.
DWORD g_fakeNow = 0;
DWORD WINAPI FakeTick() { return g_fakeNow; }
int g_heldOpens = 0;  // -1: for good
DWORD g_fakeStart = 0;
void WINAPI FakeSleep(DWORD ms) {
  g_fakeNow += ms;
  if (g_fakeNow - g_fakeStart > 60000) {  // far past any bound: the hold ends, and the test fails
    ADD_FAILURE() << "still waiting after a minute";
    g_heldOpens = 0;
  }
}
DWORD g_openError = 0;
HANDLE WINAPI HeldProgram(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  if (g_heldOpens != 0) {
    if (g_heldOpens > 0) --g_heldOpens;
    SetLastError(g_openError);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);  // free, but not there: the shell then fails as before
  return INVALID_HANDLE_VALUE;
}

TEST_F(LaunchTest, TheShellIsAskedOnlyForAProgramNoLongerHeld) {
  struct Case {
    const char* what;
    int heldOpens;
    DWORD error;
    bool shellAsked;
    DWORD waited;
  };
  const Case cases[] = {
      {"held by a scanner for three opens", 3, ERROR_SHARING_VIOLATION, true, 300},
      {"refused to everyone for a moment (a scanner deciding)", 2, ERROR_ACCESS_DENIED, true, 200},
      {"held for good", -1, ERROR_SHARING_VIOLATION, false, hold::kStepLimitMs},
      {"not there at all", 0, 0, true, 0},
  };
  g_launcherApi.GetTickCount = &FakeTick;
  g_launcherApi.Sleep = &FakeSleep;
  g_launcherApi.CreateFileA = &HeldProgram;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_heldOpens = c.heldOpens;
    g_openError = c.error;
    g_fakeStart = g_fakeNow;
    g_file.clear();
    g_result = FALSE;
    g_waits = 0;
    HoldBudget holds;
    LaunchInstaller("C:\\W", holds);
    EXPECT_EQ(!g_file.empty(), c.shellAsked);
    if (c.shellAsked) {
      EXPECT_EQ(g_file, "C:\\W\\RUZE_Derurerovo_Vozi.exe");
    }
    EXPECT_EQ(holds.waitedMs, c.waited);
    EXPECT_EQ(g_waits, 0);
  }
}

HMODULE WINAPI NoComponentLibrary(LPCSTR name, HANDLE file, DWORD flags) {
  if (lstrcmpiA(name, "ole32.dll") == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return RealLauncherApi().LoadLibraryExA(name, file, flags);
}

// The real shell call, which loads the library the shell resolves lazily by name from the
// system directory first: when that fails, the shell is never asked, as if there were none.
TEST(ShellComponentLibrary, OnlyFromTheSystemDirectoryOrTheShellIsNotAsked) {
  ScopedLauncherApi restore;
  const std::string program = wtest::FixturePath("hold_mutex.exe");  // ends at once without arguments
  for (const bool loads : {false, true}) {
    SCOPED_TRACE(loads ? "the library loads" : "the library does not load");
    g_launcherApi.LoadLibraryExA = loads ? RealLauncherApi().LoadLibraryExA : &NoComponentLibrary;
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = program.c_str();
    info.nShow = SW_HIDE;
    info.hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x5A));  // the shell always sets it
    EXPECT_EQ(g_launcherApi.ShellExecuteExA(&info) != FALSE, loads);
    EXPECT_EQ(info.hInstApp != reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x5A)), loads);
    if (info.hProcess != nullptr) {
      WaitForSingleObject(info.hProcess, 30000);
      CloseHandle(info.hProcess);
    }
    EXPECT_EQ(info.hProcess != nullptr, loads);
  }
}

}  // namespace
