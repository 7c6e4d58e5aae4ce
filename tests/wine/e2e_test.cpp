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

// Arguments on the command line change nothing: with any of these the run does the whole job
// exactly as without them, in its own temp directory each time. The cases name things a
// launcher could be tempted to act on: another installer's options, paths that exist or do
// not, a target folder, the launcher's own file names.
TEST_F(LauncherRunTest, DoesTheWholeRunAlikeWithAndWithoutArguments) {
  struct Case {
    const char* what;
    std::string args;  // "%D" stands for an existing folder of the case, which must stay empty
  };
  const Case cases[] = {
      {"no arguments", ""},
      {"another installer's silent options", " /S /v\"/qn\" --help"},
      {"a path that does not exist", " C:\\nothing"},
      {"an existing folder, quoted", " \"%D\""},
      {"options naming a target folder", " /D=%D --target=%D -o %D /extract:%D"},
      {"options to unpack only or start nothing", " /x /a /q --extract-only --no-launch /?"},
      {"the launcher's own names", std::string(" VOVore.cab RUZE_Derurerovo_Vozi.exe ") + wtest::kGuid},
      {"quotes left open and shell characters", " \"%D & rd /S /Q %D | > nul ^"},
      {"one long argument", " " + std::string(4000, 'A')},
  };
  const std::string testName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteRunOnceValue();
    const std::string base = wtest::FreshScratch(testName + "\\" + std::to_string(++index));
    const std::string temp = base + "temp\\", cwd = base + "cwd", decoy = base + "decoy";
    const std::string record = base + "record.txt", folder = temp + wtest::kGuid;
    for (const std::string& dir : {temp.substr(0, temp.size() - 1), cwd, decoy}) ASSERT_TRUE(wtest::MakeDirectories(dir));
    std::string args = c.args;
    for (size_t at = args.find("%D"); at != std::string::npos; at = args.find("%D", at + decoy.size())) {
      args.replace(at, 2, decoy);
    }

    // The installer holds until it is let go, so that the launcher's wait shows.
    const std::string hold = "wi_test_arguments_release_" + std::to_string(index);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, hold.c_str());
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", record.c_str());
    SetEnvironmentVariableA("WI_SAMPLE_HOLD_EVENT", hold.c_str());
    const DWORD start = GetTickCount();
    HANDLE launcher = wtest::StartProcess(Quoted(wtest::LauncherPath()) + args, temp, cwd);
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", nullptr);
    SetEnvironmentVariableA("WI_SAMPLE_HOLD_EVENT", nullptr);
    ASSERT_NE(launcher, nullptr);
    EXPECT_TRUE(wtest::WaitForInstallerStarts(record, 1, kTimeoutMs, launcher)) << "the installer was started";
    EXPECT_EQ(WaitForSingleObject(launcher, 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "the launcher waits for it";
    EXPECT_TRUE(wtest::MutexExists(wtest::kGlobalMutex)) << "and holds its mutex meanwhile";
    SetEvent(release);
    const wtest::RunResult run = wtest::WaitProcess(launcher, kTimeoutMs, start);
    CloseHandle(release);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(wtest::MutexExists(wtest::kGlobalMutex)) << "the exit step closes the mutex";

    // The work folder in this temp directory, its cleanup value, the whole set, open to all.
    EXPECT_TRUE(wtest::IsDirectory(folder));
    std::vector<unsigned char> value;
    DWORD type = 0;
    EXPECT_TRUE(wtest::ReadRunOnceValue(value, type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(value, wtest::StoredRegistryLayout("cmd /Q /C rd /S /Q \"" + folder + "\""));
    EXPECT_EQ(wtest::DifferencesFromPayload(folder + "\\"), std::vector<std::string>());
    std::string why;
    EXPECT_TRUE(wtest::OpenToEveryone(folder, why)) << why;

    // One start of the entry program in the folder, with an empty argument string, in the
    // launcher's own current directory, shown normally.
    const std::vector<wtest::InstallerStart> starts = wtest::ReadInstallerStarts(record);
    EXPECT_EQ(starts.size(), 1u);
    for (wtest::InstallerStart started : starts) {
      EXPECT_EQ(started["arguments"], "") << started["command_line"];
      EXPECT_EQ(started["program"], folder + "\\RUZE_Derurerovo_Vozi.exe");
      EXPECT_EQ(started["current_directory"], cwd);
      EXPECT_EQ(started["show"], "1") << "shown normally (SW_SHOWNORMAL)";
    }

    // Nothing anywhere else: the temp directory holds the work folder alone, and neither the
    // current directory nor the folder the arguments name was touched.
    std::vector<std::string> besideTheFolder;
    for (const std::string& name : wtest::ListTree(temp, true)) {
      if (name.rfind(std::string(wtest::kGuid) + "\\", 0) != 0) besideTheFolder.push_back(name);
    }
    EXPECT_EQ(besideTheFolder, std::vector<std::string>());
    EXPECT_EQ(wtest::ListTree(cwd + "\\", true), std::vector<std::string>());
    EXPECT_EQ(wtest::ListTree(decoy + "\\", true), std::vector<std::string>());
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
