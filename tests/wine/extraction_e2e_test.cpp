// The real twin unpacking the small sample payload, and test twins around payloads that
// the build would refuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

const DWORD kTimeoutMs = 120000;

class ExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wtest::DeleteRunOnceValue();
    temp_ = wtest::FreshScratch(std::string("x-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    folder_ = temp_ + wtest::kGuid + "\\";
    record_ = temp_ + "installer-record.txt";
  }
  wtest::RunResult Run(const std::string& twin) {
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", record_.c_str());
    const wtest::RunResult run = wtest::RunProcess("\"" + twin + "\"", temp_, kTimeoutMs);
    SetEnvironmentVariableA("WI_SAMPLE_RECORD", nullptr);
    return run;
  }
  std::string Twin(const char* kind) { return wtest::BuildDir() + "\\twin_" + kind + ".exe"; }
  std::string SampleTree() { return wtest::PayloadTree(); }
  std::vector<std::string> Unpacked() { return wtest::ListTree(folder_); }
  std::string temp_, folder_, record_;
};

TEST_F(ExtractionTest, UnpacksEveryEntryByteForByte) {
  const wtest::RunResult run = Run(wtest::LauncherPath());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);

  ASSERT_EQ(wtest::ListTree(SampleTree()).size(), 76u);
  EXPECT_EQ(wtest::DifferencesFromPayload(folder_), std::vector<std::string>())
      << "VOVore.cab holds exactly the payload, every entry is byte-identical, nothing else is there";
}

TEST_F(ExtractionTest, ASecondRunRewritesTheCabinetAndUnpacksAgain) {
  ASSERT_TRUE(Run(wtest::LauncherPath()).finished);
  ASSERT_TRUE(wtest::WriteWholeFile(folder_ + "VOVore.cab", "spoiled"));
  ASSERT_TRUE(wtest::WriteWholeFile(folder_ + "language\\setup.de", "spoiled"));
  const wtest::RunResult run = Run(wtest::LauncherPath());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  std::vector<unsigned char> cabinet, payload, entry, source;
  ASSERT_TRUE(wtest::ReadWholeFile(folder_ + "VOVore.cab", cabinet));
  ASSERT_TRUE(wtest::ReadWholeFile(wtest::PayloadPath(), payload));
  EXPECT_TRUE(cabinet == payload);
  ASSERT_TRUE(wtest::ReadWholeFile(folder_ + "language\\setup.de", entry));
  ASSERT_TRUE(wtest::ReadWholeFile(SampleTree() + "language\\setup.de", source));
  EXPECT_TRUE(entry == source);
}

TEST_F(ExtractionTest, AFolderNamedLikeTheCabinetEndsTheRun) {
  ASSERT_TRUE(wtest::MakeDirectories(folder_ + "VOVore.cab"));
  const wtest::RunResult run = Run(wtest::LauncherPath());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(Unpacked().size(), 0u) << "nothing extracted";
  EXPECT_FALSE(wtest::PathExists(record_)) << "nothing launched";
}

TEST_F(ExtractionTest, PayloadsTheCheckWouldRefuseEndTheRunWithoutALaunch) {
  struct Case {
    const char* kind;
    const char* what;
  };
  const Case cases[] = {
      {"corrupt", "a flipped byte in compressed data"},
      {"truncated", "a truncated cabinet"},
      {"escape", "a stored name that leaves the work folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wtest::DeleteTree(temp_);
    ASSERT_TRUE(wtest::MakeDirectories(temp_.substr(0, temp_.size() - 1)));
    const wtest::RunResult run = Run(Twin(c.kind));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(wtest::PathExists(folder_ + "VOVore.cab"));
    EXPECT_FALSE(wtest::PathExists(record_)) << "nothing launched";
    EXPECT_FALSE(wtest::PathExists(temp_ + "escaped.ini")) << "nothing written outside the work folder";
    EXPECT_FALSE(wtest::PathExists(wtest::ScratchRoot() + "\\escaped.ini"));
  }
}

}  // namespace
