// The launcher's first steps through the platform seam: the order of the start-up step's
// first calls, the version record, the mutex guard and the exit step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WebInstallerApp.h"
#include "launcher_api.h"
#include "single_instance.h"

namespace {

std::vector<std::string> g_calls;
DWORD g_dllDirectoryFlags = 0;
DWORD g_versionSizeSeen = 0;
bool g_versionZeroFilled = false;
BOOL g_versionResult = TRUE;
DWORD g_platform = 2, g_major = 10, g_minor = 0;
std::string g_mutexName;
BOOL g_mutexInitialOwner = FALSE;
bool g_mutexNullSecurity = false;
HANDLE g_mutexHandle = nullptr;
DWORD g_errorAfterMutex = 0;
std::vector<HANDLE> g_closed;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  g_calls.push_back("SetDefaultDllDirectories");
  g_dllDirectoryFlags = flags;
  return TRUE;
}
BOOL WINAPI FakeGetVersionEx(LPOSVERSIONINFOA info) {
  g_calls.push_back("GetVersionExA");
  g_versionSizeSeen = info->dwOSVersionInfoSize;
  g_versionZeroFilled = info->dwMajorVersion == 0 && info->dwPlatformId == 0 && info->szCSDVersion[0] == 0;
  info->dwPlatformId = g_platform;
  info->dwMajorVersion = g_major;
  info->dwMinorVersion = g_minor;
  return g_versionResult;
}
HANDLE WINAPI FakeCreateMutex(LPSECURITY_ATTRIBUTES sa, BOOL owner, LPCSTR name) {
  g_calls.push_back("CreateMutexA");
  g_mutexNullSecurity = sa == nullptr;
  g_mutexInitialOwner = owner;
  g_mutexName = name;
  return g_mutexHandle;
}
DWORD WINAPI FakeGetLastError() {
  g_calls.push_back("GetLastError");
  return g_errorAfterMutex;
}
DWORD WINAPI FakeTempPath(DWORD, LPSTR) {
  g_calls.push_back("GetTempPathA");  // the guard let the run go on
  return 0;
}
BOOL WINAPI FakeCloseHandle(HANDLE h) {
  g_calls.push_back("CloseHandle");
  g_closed.push_back(h);
  return TRUE;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_closed.clear();
    g_versionResult = TRUE;
    g_platform = 2;
    g_major = 10;
    g_minor = 0;
    g_mutexHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1234));
    g_errorAfterMutex = 0;
    g_launcherApi.SetDefaultDllDirectories = &FakeSetDefaultDllDirectories;
    g_launcherApi.GetVersionExA = &FakeGetVersionEx;
    g_launcherApi.CreateMutexA = &FakeCreateMutex;
    g_launcherApi.GetLastError = &FakeGetLastError;
    g_launcherApi.CloseHandle = &FakeCloseHandle;
    g_launcherApi.GetTempPathA = &FakeTempPath;
  }
  ScopedLauncherApi restore_;
};

TEST_F(GuardTest, ReadsThePlainVersionRecord) {
  EXPECT_EQ(QueryPlatformKind(), OsKind::Nt6OrLater);
  EXPECT_EQ(g_versionSizeSeen, 148u);
  EXPECT_TRUE(g_versionZeroFilled);
  g_versionResult = FALSE;
  g_platform = 2;
  g_major = 4;
  EXPECT_EQ(QueryPlatformKind(), OsKind::Unclassified);
}

TEST_F(GuardTest, CreatesAnOwnedMutexAndReadsTheErrorAtOnce) {
  CWebInstallerApp app;
  EXPECT_TRUE(AcquireSingleInstance(app, OsKind::Nt6OrLater));
  EXPECT_EQ(app.m_hMutex, g_mutexHandle);
  EXPECT_EQ(g_mutexName, "Global\\ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}");
  EXPECT_TRUE(g_mutexInitialOwner);
  EXPECT_TRUE(g_mutexNullSecurity);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"CreateMutexA", "GetLastError"}));

  EXPECT_TRUE(AcquireSingleInstance(app, OsKind::Nt4));
  EXPECT_EQ(g_mutexName, "ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}");
}

TEST_F(GuardTest, StartUpEndsWhenTheMutexExistsAndExitClosesOurHandle) {
  g_errorAfterMutex = ERROR_ALREADY_EXISTS;
  CWebInstallerApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(g_dllDirectoryFlags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"SetDefaultDllDirectories", "GetVersionExA", "CreateMutexA",
                                                "GetLastError"}));
  EXPECT_EQ(app.m_hMutex, g_mutexHandle);  // kept for the exit step
  EXPECT_EQ(app.ExitInstance(), 0);
  EXPECT_EQ(g_closed, std::vector<HANDLE>{g_mutexHandle});
  EXPECT_EQ(app.m_hMutex, nullptr);
  EXPECT_EQ(app.ExitInstance(), 0);  // a second exit step has nothing left to close
  EXPECT_EQ(g_closed.size(), 1u);
}

TEST_F(GuardTest, StartUpEndsWithoutAHandleAndExitClosesNothing) {
  CWebInstallerApp app;
  for (const DWORD error : {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_SUCCESS)}) {
    SCOPED_TRACE(error);
    g_mutexHandle = nullptr;
    g_errorAfterMutex = error;  // whatever the error code says, no handle ends the run
    g_calls.clear();
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(g_calls, (std::vector<std::string>{"SetDefaultDllDirectories", "GetVersionExA", "CreateMutexA",
                                                  "GetLastError"}));
    EXPECT_EQ(app.m_hMutex, nullptr);
  }
  EXPECT_EQ(app.ExitInstance(), 0);
  EXPECT_TRUE(g_closed.empty());
}

TEST_F(GuardTest, AFailedVersionQueryStillTakesTheGlobalName) {
  g_versionResult = FALSE;
  g_errorAfterMutex = ERROR_ALREADY_EXISTS;  // stop right after the guard
  CWebInstallerApp app;
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(g_mutexName, "Global\\ZORVA_WEB_Installer{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}");
  app.ExitInstance();
}

TEST(RealMutex, ASecondAcquireFindsTheFirstAndExitReleasesTheName) {
  CWebInstallerApp first;
  CWebInstallerApp second;
  ASSERT_TRUE(AcquireSingleInstance(first, OsKind::Nt6OrLater));
  EXPECT_FALSE(AcquireSingleInstance(second, OsKind::Nt6OrLater));
  EXPECT_NE(second.m_hMutex, nullptr);
  second.ExitInstance();
  first.ExitInstance();
  HANDLE left = OpenMutexA(SYNCHRONIZE, FALSE, SingleInstanceMutexName(OsKind::Nt6OrLater));
  EXPECT_EQ(left, nullptr) << "the name is gone once both exit steps ran";
  if (left != nullptr) CloseHandle(left);
}

}  // namespace
