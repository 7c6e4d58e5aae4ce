// The launcher under test (the product, or its twin), started as a user would start it, in
// the test prefix.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

const DWORD kTimeoutMs = 120000;

class LauncherRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wtest::DeleteRunOnceValue();
    temp_ = wtest::FreshScratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  std::string Quoted(const std::string& path) { return "\"" + path + "\""; }
  std::string temp_;
};

TEST_F(LauncherRunTest, ExitsWithZeroWithAndWithoutArguments) {
  for (const std::string args : {"", " /S /v\"/qn\" --help", " C:\\nothing"}) {
    SCOPED_TRACE(args);
    const wtest::RunResult run = wtest::RunProcess(Quoted(wtest::LauncherPath()) + args, temp_, kTimeoutMs);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(wtest::MutexExists(wtest::kGlobalMutex)) << "the exit step closes the mutex";
  }
}

TEST_F(LauncherRunTest, AHeldMutexEndsTheRunAtOnceAndChangesNothing) {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "wi_test_holder_ready");
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "wi_test_holder_release");
  const std::string holder = Quoted(wtest::FixturePath("hold_mutex.exe")) + " \"" + wtest::kGlobalMutex +
                             "\" wi_test_holder_ready wi_test_holder_release";
  const DWORD holderStart = GetTickCount();
  HANDLE holderProcess = wtest::StartProcess(holder, temp_);
  ASSERT_NE(holderProcess, nullptr);
  ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);

  const wtest::RunResult blocked = wtest::RunProcess(Quoted(wtest::LauncherPath()), temp_, kTimeoutMs);
  ASSERT_TRUE(blocked.finished);
  EXPECT_EQ(blocked.exitCode, 0u);
  EXPECT_LT(blocked.milliseconds, 30000u);
  EXPECT_FALSE(wtest::PathExists(temp_ + wtest::kGuid)) << "no work folder while another copy runs";
  std::vector<unsigned char> value;
  DWORD type = 0;
  EXPECT_FALSE(wtest::ReadRunOnceValue(value, type)) << "no cleanup value while another copy runs";
  EXPECT_TRUE(wtest::MutexExists(wtest::kGlobalMutex)) << "the holder keeps its mutex";

  SetEvent(release);
  const wtest::RunResult holderRun = wtest::WaitProcess(holderProcess, 30000, holderStart);
  EXPECT_TRUE(holderRun.finished);
  EXPECT_EQ(holderRun.exitCode, 0u);
  EXPECT_FALSE(wtest::MutexExists(wtest::kGlobalMutex));

  // Once the holder has gone, a launcher runs normally again.
  const wtest::RunResult after = wtest::RunProcess(Quoted(wtest::LauncherPath()), temp_, kTimeoutMs);
  ASSERT_TRUE(after.finished);
  EXPECT_EQ(after.exitCode, 0u);
  EXPECT_FALSE(wtest::MutexExists(wtest::kGlobalMutex));
  CloseHandle(ready);
  CloseHandle(release);
}

TEST_F(LauncherRunTest, AnExceptionEscapingAProgramLinkedLikeItEndsQuietlyWithZero) {
  const wtest::RunResult run = wtest::RunProcess(Quoted(wtest::FixturePath("escaping_exception.exe")) + " x", temp_, 60000);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << "the runtime's own terminate handler aborts with 3";
  EXPECT_LT(run.milliseconds, 30000u);
}

}  // namespace

namespace {

class WorkFolderRunTest : public LauncherRunTest {
 protected:
  std::vector<unsigned char> RunOnce() {
    std::vector<unsigned char> data;
    DWORD type = 0;
    wtest::ReadRunOnceValue(data, type);
    return data;
  }
  std::vector<unsigned char> RdCommandFor(const std::string& folder) {
    return wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + folder + "\"");
  }
};

TEST_F(WorkFolderRunTest, ARunLeavesTheFolderAndItsCleanupValueAndASecondRunReusesThem) {
  const std::string folder = temp_ + wtest::kGuid;
  const wtest::RunResult first = wtest::RunProcess(Quoted(wtest::LauncherPath()), temp_, kTimeoutMs);
  ASSERT_TRUE(first.finished);
  EXPECT_EQ(first.exitCode, 0u);
  EXPECT_TRUE(wtest::IsDirectory(folder));
  EXPECT_EQ(RunOnce(), RdCommandFor(folder));

  ASSERT_TRUE(wtest::WriteWholeFile(folder + "\\left-by-the-first-run.txt", "x"));
  wtest::DeleteRunOnceValue();
  const wtest::RunResult second = wtest::RunProcess(Quoted(wtest::LauncherPath()), temp_, kTimeoutMs);
  ASSERT_TRUE(second.finished);
  EXPECT_EQ(second.exitCode, 0u);
  EXPECT_EQ(RunOnce(), RdCommandFor(folder)) << "written again, with the same data";
  EXPECT_TRUE(wtest::PathExists(folder + "\\left-by-the-first-run.txt")) << "the folder is not emptied";
}

TEST_F(WorkFolderRunTest, ATempPathWithSpacesGivesOneQuotedArgument) {
  const std::string spaced = temp_ + "temp dir with spaces\\";
  ASSERT_TRUE(wtest::MakeDirectories(spaced.substr(0, spaced.size() - 1)));
  const wtest::RunResult run = wtest::RunProcess(Quoted(wtest::LauncherPath()), spaced, kTimeoutMs);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(wtest::IsDirectory(spaced + wtest::kGuid));
  EXPECT_EQ(RunOnce(), RdCommandFor(spaced + wtest::kGuid));
}

TEST_F(WorkFolderRunTest, AMissingTempDirectoryEndsTheRunAfterTheValueIsWritten) {
  const std::string missing = temp_ + "no such dir\\";
  const wtest::RunResult run = wtest::RunProcess(Quoted(wtest::LauncherPath()), missing, kTimeoutMs);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_FALSE(wtest::PathExists(missing));
  EXPECT_EQ(RunOnce(), RdCommandFor(missing + wtest::kGuid));
}

}  // namespace
