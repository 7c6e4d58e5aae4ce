// Files held by another program, through the seams: which failures are waited out, with
// which opens, for how long, and what each step does once the bound is reached. The clock
// is a fake that moves only when the launcher sleeps, so that the bounds are exact.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cabinet_callback.h"
#include "file_api.h"
#include "held_files.h"
#include "launcher_api.h"
#include "support.h"

namespace {

DWORD g_now = 0;
std::vector<DWORD> g_sleeps;
DWORD Slept() {
  DWORD all = 0;
  for (DWORD ms : g_sleeps) all += ms;
  return all;
}
void EndEveryHold();
DWORD WINAPI FakeTick() { return g_now; }
void WINAPI FakeSleep(DWORD ms) {
  g_sleeps.push_back(ms);
  g_now += ms;
  // Far past any bound: a launcher without one would wait for good, so the test ends it.
  if (Slept() > 60000) {
    ADD_FAILURE() << "still waiting after " << Slept() << " ms";
    EndEveryHold();
  }
}

// What another program does to a file: after `freeBefore` opens that pass, the error the
// next `opens` opens meet (kForever: all of them). A file without a hold opens.
constexpr int kForever = -1;
struct Hold {
  DWORD error;
  int opens;  // cppcheck-suppress unusedStructMember ; read through the map's iterator
  int freeBefore = 0;
};
std::map<std::string, Hold> g_holds;
bool Held(const std::string& path) {
  auto found = g_holds.find(path);
  if (found == g_holds.end()) return false;
  if (found->second.freeBefore > 0) {
    --found->second.freeBefore;
    return false;
  }
  if (found->second.opens == 0) return false;
  if (found->second.opens > 0) --found->second.opens;
  SetLastError(found->second.error);
  return true;
}

// The opens that test whether a file is free, as the launcher made them.
struct Open {
  std::string path;
  DWORD access, share, disposition, attributes;
  bool security, templateFile;
};
std::vector<Open> g_opens;
HANDLE const kFreeHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7A7A));
std::vector<HANDLE> g_closed;
HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD attributes, HANDLE templateFile) {
  g_opens.push_back({path, access, share, disposition, attributes, security != nullptr, templateFile != nullptr});
  return Held(path) ? INVALID_HANDLE_VALUE : kFreeHandle;
}
BOOL WINAPI FakeClose(HANDLE handle) {
  g_closed.push_back(handle);
  return handle == kFreeHandle ? TRUE : RealLauncherApi().CloseHandle(handle);
}
// The framework file object's own open, for VOVore.cab: held, or the real one.
int g_cabinetCreates = 0;
HANDLE WINAPI FakeFileCreate(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD attributes, HANDLE templateFile) {
  ++g_cabinetCreates;
  if (Held(path)) return INVALID_HANDLE_VALUE;
  return RealFileApi().CreateFileA(path, access, share, security, disposition, attributes, templateFile);
}

// The cabinet service, scripted: each iteration may name one entry to the callback (which
// then is in progress when the iteration fails) and ends with a result and a last error.
struct Iteration {
  const char* entry;  // null: none
  BOOL result;
  DWORD error;
};
std::vector<Iteration> g_script;
size_t g_iterations = 0;
BOOL WINAPI ScriptedIterate(PCSTR, DWORD, PSP_FILE_CALLBACK_A callback, PVOID context) {
  const Iteration step = g_script[std::min(g_iterations, g_script.size() - 1)];
  ++g_iterations;
  if (step.entry != nullptr) {
    FILE_IN_CABINET_INFO_A info = {};
    info.NameInCabinet = step.entry;
    info.FileSize = 1;
    callback(context, SPFILENOTIFY_FILEINCABINET, reinterpret_cast<UINT_PTR>(&info), 0);
  }
  SetLastError(step.error);
  return step.result;
}
void EndEveryHold() {
  g_holds.clear();
  g_script = {{nullptr, TRUE, 0}};
}
int g_launches = 0;
BOOL WINAPI FakeShellExecute(SHELLEXECUTEINFOA* info) {
  ++g_launches;
  info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(2));  // not started: no wait
  return FALSE;
}

class HeldFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 0xFFFFF000u;  // the clock wraps during the waits: only differences count
    g_sleeps.clear();
    g_holds.clear();
    g_opens.clear();
    g_closed.clear();
    g_script.clear();
    g_iterations = 0;
    g_cabinetCreates = 0;
    g_launches = 0;
    g_launcherApi.GetTickCount = &FakeTick;
    g_launcherApi.Sleep = &FakeSleep;
    g_launcherApi.CreateFileA = &FakeCreateFile;
    g_launcherApi.CloseHandle = &FakeClose;
    g_launcherApi.SetupIterateCabinetA = &ScriptedIterate;
    g_launcherApi.ShellExecuteExA = &FakeShellExecute;
    g_fileApi.CreateFileA = &FakeFileCreate;
    folder_ = wtest::FreshScratch("held-files");
    cabinet_ = folder_ + "VOVore.cab";
    entry_ = folder_ + "InstData\\a.ini";
    ExtractionRoot = folder_.c_str();
  }
  void TearDown() override {
    ExtractionRoot.Empty();
    ResetExtraction();
  }
  std::vector<std::string> OpenedPaths() const {
    std::vector<std::string> paths;
    paths.reserve(g_opens.size());
    for (const Open& open : g_opens) paths.push_back(open.path);
    return paths;
  }
  std::string folder_, cabinet_, entry_;
  ScopedLauncherApi restoreLauncher_;
  ScopedFileApi restoreFile_;
};

// Only a sharing or lock violation is a hold, and for a start access denied too: each step
// waits on exactly those (a hold that ends after two opens), and meets any other failure at
// once, without a wait.
TEST_F(HeldFilesTest, EachStepWaitsOnlyOnTheErrorsOfAHold) {
  struct Case {
    DWORD error;
    bool waitedOnCreate, waitedOnRead, waitedOnStart;
  };
  const Case cases[] = {
      {ERROR_SHARING_VIOLATION, true, true, true},  {ERROR_LOCK_VIOLATION, true, true, true},
      {ERROR_ACCESS_DENIED, false, false, true},    {ERROR_FILE_NOT_FOUND, false, false, false},
      {ERROR_PATH_NOT_FOUND, false, false, false},  {ERROR_INVALID_NAME, false, false, false},
      {ERROR_WRITE_PROTECT, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    const std::vector<DWORD> twoPolls = {100, 100};

    g_holds = {{cabinet_, {c.error, 2}}};
    g_sleeps.clear();
    g_cabinetCreates = 0;
    HoldBudget budget;
    CFile file;
    EXPECT_EQ(OpenCabinetWhenFree(file, cabinet_.c_str(), budget) != FALSE, c.waitedOnCreate);
    EXPECT_EQ(g_cabinetCreates, c.waitedOnCreate ? 3 : 1);
    EXPECT_EQ(g_sleeps, c.waitedOnCreate ? twoPolls : std::vector<DWORD>{});
    EXPECT_EQ(budget.waitedMs, c.waitedOnCreate ? 200u : 0u) << "the wait counts against the run";
    file.Abort();

    g_holds = {{cabinet_, {c.error, 2}}};
    g_sleeps.clear();
    g_iterations = 0;
    g_script = {{nullptr, TRUE, 0}};
    EXPECT_TRUE(IterateCabinetWhenFree(cabinet_.c_str(), budget)) << "a cabinet free at last is unpacked";
    EXPECT_EQ(g_sleeps, c.waitedOnRead ? twoPolls : std::vector<DWORD>{});
    EXPECT_EQ(g_iterations, 1u) << "the iteration is tried whatever the cabinet's state";

    const std::string program = folder_ + "RUZE_Derurerovo_Vozi.exe";
    g_holds = {{program, {c.error, 2}}};
    g_sleeps.clear();
    EXPECT_TRUE(StartableWhenFree(program.c_str(), budget)) << "free at last, or left to the shell";
    EXPECT_EQ(g_sleeps, c.waitedOnStart ? twoPolls : std::vector<DWORD>{});
  }
}

// The opens that stand for the cabinet service and for process creation: their access and
// sharing, an existing file only, nothing inherited; each handle is closed at once.
TEST_F(HeldFilesTest, TestsAFileWithTheAccessAndSharingOfTheOpenItStandsFor) {
  HoldBudget budget;
  g_script = {{"InstData\\a.ini", FALSE, ERROR_SHARING_VIOLATION}, {nullptr, TRUE, 0}};
  g_holds = {{entry_, {ERROR_SHARING_VIOLATION, 1}}};
  ASSERT_TRUE(IterateCabinetWhenFree(cabinet_.c_str(), budget));
  const std::string program = folder_ + "RUZE_Derurerovo_Vozi.exe";
  ASSERT_TRUE(StartableWhenFree(program.c_str(), budget));

  // The cabinet before the iteration; after the failed one, the entry it stopped at (held,
  // then free) and the cabinet again; then the program.
  ASSERT_EQ(OpenedPaths(), (std::vector<std::string>{cabinet_, entry_, entry_, cabinet_, program}));
  const DWORD read = GENERIC_READ, write = GENERIC_WRITE, shareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD start = FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE, shareReadDelete = FILE_SHARE_READ | FILE_SHARE_DELETE;
  const std::vector<std::pair<DWORD, DWORD>> expected = {
      {read, shareReadWrite}, {write, shareReadWrite}, {write, shareReadWrite}, {read, shareReadWrite},
      {start, shareReadDelete}};
  for (size_t i = 0; i < g_opens.size(); ++i) {
    SCOPED_TRACE(g_opens[i].path);
    EXPECT_EQ(g_opens[i].access, expected[i].first);
    EXPECT_EQ(g_opens[i].share, expected[i].second);
    EXPECT_EQ(g_opens[i].disposition, static_cast<DWORD>(OPEN_EXISTING)) << "never makes a file";
    EXPECT_EQ(g_opens[i].attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(g_opens[i].security);
    EXPECT_FALSE(g_opens[i].templateFile);
  }
  EXPECT_EQ(g_closed, std::vector<HANDLE>(4, kFreeHandle)) << "every handle that opened, closed";
}

// A file held for good: each step gives up once another poll would pass its bound, having
// waited exactly that long; a run that has waited elsewhere already has less left.
TEST_F(HeldFilesTest, AFileHeldForGoodIsGivenUpAtTheBound) {
  struct Case {
    const char* what;
    DWORD waitedBefore, slept;
  };
  const Case cases[] = {
      {"a run that has not waited yet: the step's bound", 0, hold::kStepLimitMs},
      {"a run that has waited 12 s: what is left of the run's", 12000, 3000},
      {"a run whose bound is spent: no wait at all", hold::kRunLimitMs, 0},
  };
  const std::string program = folder_ + "RUZE_Derurerovo_Vozi.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_holds = {{cabinet_, {ERROR_SHARING_VIOLATION, kForever}}, {program, {ERROR_SHARING_VIOLATION, kForever}}};

    HoldBudget budget;
    budget.waitedMs = c.waitedBefore;
    g_sleeps.clear();
    CFile file;
    EXPECT_FALSE(OpenCabinetWhenFree(file, cabinet_.c_str(), budget));
    EXPECT_EQ(Slept(), c.slept);
    EXPECT_EQ(budget.waitedMs, c.waitedBefore + c.slept);

    budget.waitedMs = c.waitedBefore;
    g_sleeps.clear();
    EXPECT_FALSE(StartableWhenFree(program.c_str(), budget));
    EXPECT_EQ(Slept(), c.slept);

    // Before the iteration the wait is given up the same way, and the iteration is still
    // tried: the service then fails on the held cabinet as it would have.
    budget.waitedMs = c.waitedBefore;
    g_sleeps.clear();
    g_iterations = 0;
    g_script = {{nullptr, FALSE, ERROR_FILE_NOT_FOUND}};
    EXPECT_FALSE(IterateCabinetWhenFree(cabinet_.c_str(), budget));
    EXPECT_EQ(g_iterations, 1u) << "no second iteration while the cabinet is held";
    EXPECT_EQ(Slept(), c.slept);
  }
}

// A failed iteration runs again only when the failure came from a hold: the entry it was
// writing held, the cabinet held (which the service reports as missing), or the service
// naming a hold itself.
TEST_F(HeldFilesTest, AFailedIterationRunsAgainOnlyAfterAHold) {
  struct Case {
    const char* what;
    Iteration first;
    std::map<std::string, Hold> holds;
    BOOL result;
    size_t iterations;
    DWORD slept;
  };
  // The cabinet held only after the test before the first iteration, which finds it free.
  const Hold cabinetHeldForTwo = {ERROR_LOCK_VIOLATION, 2, 1};
  const Case cases[] = {
      {"the entry it was writing held for three opens", {"InstData\\a.ini", FALSE, ERROR_SHARING_VIOLATION},
       {{entry_, {ERROR_SHARING_VIOLATION, 3}}}, TRUE, 2, 300},
      {"the cabinet held, reported as missing", {nullptr, FALSE, ERROR_FILE_NOT_FOUND},
       {{cabinet_, cabinetHeldForTwo}}, TRUE, 2, 200},
      {"a hold named by the service, over by the time it is looked at", {nullptr, FALSE, ERROR_SHARING_VIOLATION},
       {}, TRUE, 2, 100},
      {"a corrupt cabinet: nothing held", {nullptr, FALSE, ERROR_INVALID_DATA}, {}, FALSE, 1, 0},
      {"missing for real: nothing held", {nullptr, FALSE, ERROR_FILE_NOT_FOUND}, {}, FALSE, 1, 0},
      {"an entry that failed for another reason than a hold", {"InstData\\a.ini", FALSE, ERROR_DISK_FULL},
       {{entry_, {ERROR_ACCESS_DENIED, kForever}}}, FALSE, 1, 0},
      {"an entry refused by the callback, whatever the service reports",
       {"..\\outside.ini", FALSE, ERROR_SHARING_VIOLATION}, {}, FALSE, 1, 0},
      {"an entry refused by the callback, the service reporting success", {"..\\outside.ini", TRUE, 0}, {}, FALSE, 1,
       0},
      {"the entry held for good", {"InstData\\a.ini", FALSE, ERROR_SHARING_VIOLATION},
       {{entry_, {ERROR_SHARING_VIOLATION, kForever}}}, FALSE, 1, hold::kStepLimitMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_holds = c.holds;
    g_script = {c.first, {nullptr, TRUE, 0}};
    g_iterations = 0;
    g_sleeps.clear();
    HoldBudget budget;
    EXPECT_EQ(IterateCabinetWhenFree(cabinet_.c_str(), budget), c.result);
    EXPECT_EQ(g_iterations, c.iterations);
    EXPECT_EQ(Slept(), c.slept);
    EXPECT_EQ(budget.waitedMs, c.slept);
  }
}

// A service that keeps naming a hold that cannot be seen: every new iteration costs a poll
// interval, so that the step still ends at its bound.
TEST_F(HeldFilesTest, IterationsThatKeepFailingOnAHoldEndAtTheBound) {
  g_script = {{nullptr, FALSE, ERROR_SHARING_VIOLATION}};
  HoldBudget budget;
  EXPECT_FALSE(IterateCabinetWhenFree(cabinet_.c_str(), budget));
  EXPECT_EQ(Slept(), hold::kStepLimitMs);
  EXPECT_EQ(g_iterations, 1u + hold::kStepLimitMs / hold::kPollMs);
}

// The ordinary run: nothing held, one test of each file, no clock at all.
DWORD WINAPI UnexpectedTick() {
  ADD_FAILURE() << "the clock is read only once a file is found held";
  return 0;
}

TEST_F(HeldFilesTest, NothingHeldCostsOneOpenAndCloseAndNoWait) {
  g_launcherApi.GetTickCount = &UnexpectedTick;
  HoldBudget budget;
  CFile file;
  ASSERT_TRUE(OpenCabinetWhenFree(file, cabinet_.c_str(), budget));
  file.Abort();
  g_script = {{nullptr, TRUE, 0}};
  ASSERT_TRUE(IterateCabinetWhenFree(cabinet_.c_str(), budget));
  const std::string program = folder_ + "RUZE_Derurerovo_Vozi.exe";
  ASSERT_TRUE(StartableWhenFree(program.c_str(), budget));
  EXPECT_EQ(g_cabinetCreates, 1);
  EXPECT_EQ(OpenedPaths(), (std::vector<std::string>{cabinet_, program}));
  EXPECT_EQ(g_closed.size(), 2u);
  EXPECT_TRUE(g_sleeps.empty());
  EXPECT_EQ(budget.waitedMs, 0u);
}

}  // namespace
