// The user's temp directory as a narrow path, through the seams: the path handed out where it
// reads back as the wide one, the short form where it does not ('?' or look-alikes in place of
// characters the ANSI code page lacks), and every way there is no lossless form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher_api.h"
#include "support.h"
#include "temp_path.h"
#include "temp_path_fakes.h"

namespace {

using wtest::Calls;
using wtest::g_tempFakes;
using wtest::kHandOut;
using wtest::Widen;

class TempPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = wtest::FreshScratch("temppath");  // ASCII, and a valid short (8.3) name itself
    wideRoot_ = Widen(root_);
    wtest::InstallTempFakes(root_);
  }
  std::string root_;
  std::wstring wideRoot_;
  ScopedLauncherApi restore_;
};

TEST_F(TempPathTest, APathThatReadsBackIsHandedOutAsItIs) {
  char path[260];
  ASSERT_TRUE(NarrowTempPath(path));
  EXPECT_EQ(std::string(path), root_);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar"}));
}

// A temp directory whose long name the ANSI code page cannot hold: U+20BB7 (a surrogate
// pair, in no ANSI code page) and U+7530. The narrow path the platform hands out for it
// holds '?' in their place.
class ShortFormTest : public TempPathTest {
 protected:
  void SetUp() override {
    TempPathTest::SetUp();
    wideTemp_ = wideRoot_ + L"\xD842\xDFB7\x7530\\";
    ASSERT_TRUE(CreateDirectoryW(wideTemp_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    g_tempFakes.wide = wideTemp_;
    g_tempFakes.narrow = root_ + "??\x93\x63\\";  // what the narrow call gives (the last character, in 932)
  }
  void TearDown() override { RemoveDirectoryW(wideTemp_.c_str()); }
  std::wstring wideTemp_;
};

TEST_F(ShortFormTest, ATempPathTheCodePageCannotHoldIsReachedThroughItsShortForm) {
  char path[260];
  ASSERT_TRUE(NarrowTempPath(path));
  // The '?' shows the loss by itself: no conversion back is needed to see it.
  EXPECT_EQ(Calls(), (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "GetShortPathNameW",
                                               "WideCharToMultiByte"}));
  const std::string got(path);
  EXPECT_EQ(got.find('?'), std::string::npos) << got;
  EXPECT_EQ(got.compare(0, root_.size(), root_), 0) << "the short form of the same temp directory: " << got;
  EXPECT_EQ(got.back(), '\\') << "the work folder's name is appended to it directly";
  EXPECT_EQ(wtest::LongForm(got), wideTemp_) << "it names the user's real temp directory";
}

// A temp directory whose long name the code page maps to look-alikes: the platform's
// best-fit tables hand out "Jose" for "José", a path that names another directory (or
// none). The narrow path does not read back as the wide one, and the directory is reached
// through its short form, as for a '?'.
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
    g_tempFakes.wide = wideTemp;
    g_tempFakes.narrow = root_ + c.lookAlike + "\\";
    Calls().clear();
    char path[260];
    ASSERT_TRUE(NarrowTempPath(path));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"GetTempPathA", "GetTempPathW", "MultiByteToWideChar",
                                                 "GetShortPathNameW", "WideCharToMultiByte"}));
    EXPECT_NE(std::string(path), g_tempFakes.narrow) << "not the look-alike's path";
    EXPECT_EQ(wtest::LongForm(path), wideTemp) << "the user's real temp directory";
    RemoveDirectoryW(wideTemp.c_str());
  }
}

TEST_F(ShortFormTest, WithoutALosslessNarrowFormThereIsNoPath) {
  const std::vector<std::string> upToShort = {"GetTempPathA", "GetTempPathW", "GetShortPathNameW"};
  const std::vector<std::string> upToConversion = {"GetTempPathA", "GetTempPathW", "GetShortPathNameW",
                                                   "WideCharToMultiByte"};
  struct Case {
    const char* what;
    DWORD wideResult;
    DWORD shortResult;
    std::wstring shortForm;  // empty: the real short form
    bool conversionFails;
    std::vector<std::string> calls;
  };
  const std::wstring noShortNames = wideTemp_;  // a volume that makes no 8.3 names hands back the long path
  const Case cases[] = {
      {"no wide temp path", 0, kHandOut, L"", false, {"GetTempPathA", "GetTempPathW"}},
      {"a wide temp path longer than the buffer", 261, kHandOut, L"", false, {"GetTempPathA", "GetTempPathW"}},
      {"no short form", kHandOut, 0, L"", false, upToShort},
      {"a short form longer than the buffer", kHandOut, 300, L"", false, upToShort},
      {"a short form of exactly 260: no room for its terminator", kHandOut, 260, L"", false, upToShort},
      {"a short form without its trailing backslash", kHandOut, kHandOut, wideRoot_.substr(0, wideRoot_.size() - 1),
       false, upToShort},
      {"short names are not made: the long path comes back", kHandOut, kHandOut, noShortNames, false, upToConversion},
      {"a short form holding a character the code page lacks", kHandOut, kHandOut, wideRoot_ + L"\x0100\\", false,
       upToConversion},
      {"the conversion fails", kHandOut, kHandOut, L"", true, upToConversion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Calls().clear();
    g_tempFakes.wideResult = c.wideResult;
    g_tempFakes.shortResult = c.shortResult;
    g_tempFakes.shortForm = c.shortForm;
    g_tempFakes.conversionFails = c.conversionFails;
    char path[260];
    EXPECT_FALSE(NarrowTempPath(path));
    EXPECT_EQ(Calls(), c.calls);
  }
}

}  // namespace
