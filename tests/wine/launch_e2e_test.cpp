// The whole run under Wine: the twin starts the sample installer, waits for it, and ends
// with 0; a second copy meanwhile ends at once and changes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

const DWORD kTimeoutMs = 120000;

// A snapshot of what a run can change: every file under the folder with its size and
// write time, and the RunOnce value.
std::string Snapshot(const std::string& folder) {
  std::string out;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      out += name + ":" + std::to_string(found.nFileSizeLow) + ":" + std::to_string(found.ftLastWriteTime.dwLowDateTime) + "\n";
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) out += Snapshot(folder + "\\" + name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  std::vector<unsigned char> value;
  DWORD type = 0;
  if (wtest::ReadRunOnceValue(value, type)) out += "runonce:" + std::string(value.begin(), value.end());
  return out;
}

class LaunchRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wtest::DeleteRunOnceValue();
    temp_ = wtest::FreshScratch(std::string("l-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    folder_ = temp_ + wtest::kGuid;
    record_ = temp_ + "installer-record.txt";
    cwd_ = temp_ + "launched from here";
    wtest::MakeDirectories(cwd_);
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", record_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", nullptr);
    SetEnvironmentVariableA("WI_SAMPLE_HOLD_EVENT", nullptr);
  }
  std::string temp_, folder_, record_, cwd_;
};

TEST_F(LaunchRunTest, StartsTheInstallerWithNoArgumentsWaitsForItAndExitsWithZero) {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "wi_test_installer_release");
  SetEnvironmentVariableA("WI_SAMPLE_HOLD_EVENT", "wi_test_installer_release");
  const DWORD start = GetTickCount();
  HANDLE twin = wtest::StartProcess("\"" + wtest::LauncherPath() + "\"", temp_, cwd_);
  ASSERT_NE(twin, nullptr);
  ASSERT_TRUE(wtest::WaitForInstallerStarts(record_, 1, 60000)) << "the installer was started";

  // The installer saw an empty argument string and the launcher's current directory.
  const std::vector<wtest::InstallerStart> starts = wtest::ReadInstallerStarts(record_);
  ASSERT_EQ(starts.size(), 1u);
  wtest::InstallerStart record = starts[0];
  EXPECT_EQ(record["arguments"], "");
  EXPECT_EQ(record["current_directory"], cwd_) << "not the work folder";
  EXPECT_EQ(record["program"], folder_ + "\\RUZE_Derurerovo_Vozi.exe");
  EXPECT_EQ(record["show"], "1") << "started shown normally (SW_SHOWNORMAL)";
  // The command line: the program's quoted path, and no argument after it.
  const std::string quoted = "\"" + folder_ + "\\RUZE_Derurerovo_Vozi.exe\"";
  EXPECT_EQ(record["command_line"].substr(0, quoted.size()), quoted);
  EXPECT_EQ(record["command_line"].find_first_not_of(' ', quoted.size()), std::string::npos) << record["command_line"];

  // While the installer runs, the launcher waits.
  EXPECT_EQ(WaitForSingleObject(twin, 1500), static_cast<DWORD>(WAIT_TIMEOUT)) << "the launcher left before the installer";
  EXPECT_TRUE(wtest::MutexExists(wtest::kGlobalMutex)) << "and keeps its mutex meanwhile";

  // A second launcher meanwhile ends at once and changes nothing.
  const std::string before = Snapshot(folder_);
  DeleteFileA(record_.c_str());
  const wtest::RunResult second = wtest::RunProcess("\"" + wtest::LauncherPath() + "\"", temp_, kTimeoutMs, cwd_);
  ASSERT_TRUE(second.finished);
  EXPECT_EQ(second.exitCode, 0u);
  EXPECT_EQ(Snapshot(folder_), before);
  EXPECT_FALSE(wtest::PathExists(record_)) << "the second copy started nothing";
  EXPECT_EQ(WaitForSingleObject(twin, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the first copy goes on";

  SetEvent(release);
  const wtest::RunResult first = wtest::WaitProcess(twin, kTimeoutMs, start);
  ASSERT_TRUE(first.finished);
  EXPECT_EQ(first.exitCode, 0u) << "the installer's exit code (7) is not passed on";
  EXPECT_FALSE(wtest::MutexExists(wtest::kGlobalMutex));
  CloseHandle(release);

  // After both have ended, a launcher runs normally again.
  SetEnvironmentVariableA("WI_SAMPLE_HOLD_EVENT", nullptr);
  const wtest::RunResult third = wtest::RunProcess("\"" + wtest::LauncherPath() + "\"", temp_, kTimeoutMs, cwd_);
  ASSERT_TRUE(third.finished);
  EXPECT_EQ(third.exitCode, 0u);
  EXPECT_TRUE(wtest::PathExists(record_)) << "the third copy started the installer again";
}

TEST_F(LaunchRunTest, AnEntryThatIsNotAProgramStillEndsWithZero) {
  const wtest::RunResult run =
      wtest::RunProcess("\"" + wtest::BuildDir() + "\\twin_notprogram.exe\"", temp_, kTimeoutMs, cwd_);
  ASSERT_TRUE(run.finished) << "no hang";
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(wtest::PathExists(folder_ + "\\RUZE_Derurerovo_Vozi.exe"));
  EXPECT_FALSE(wtest::PathExists(record_));
}

}  // namespace
