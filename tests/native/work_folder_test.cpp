#include "work_folder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kGuid = "{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";

TEST(ComposeWorkFolder, AppendsTheGuidDirectly) {
  struct Case {
    const char* temp;
    std::string expected;
  };
  const Case cases[] = {
      {"C:\\Temp\\", "C:\\Temp\\" + kGuid},
      {"C:\\Users\\u\\AppData\\Local\\Temp\\", "C:\\Users\\u\\AppData\\Local\\Temp\\" + kGuid},
      {"C:\\Documents and Settings\\A User\\Local Settings\\Temp\\",
       "C:\\Documents and Settings\\A User\\Local Settings\\Temp\\" + kGuid},
      {"\\\\server\\share\\tmp\\", "\\\\server\\share\\tmp\\" + kGuid},
  };
  for (const Case& c : cases) {
    const CStringA folder = ComposeWorkFolder(c.temp);
    EXPECT_EQ(std::string(folder), c.expected);
    EXPECT_NE(folder.GetString()[folder.GetLength() - 1], '\\');
  }
}

TEST(CleanupCommand, OnlyWin9xTakesDeltree) {
  const char* folder = "C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}";
  const std::string rd = "cmd /Q /C rd /S /Q \"C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}\"";
  const std::string deltree = "command /C deltree /Y \"C:\\Temp\\{5A0E7B42-C3D9-4F16-8B2A-91D64E0C7F35}\"";
  for (int k = -1; k <= 5; ++k) {
    const OsKind kind = static_cast<OsKind>(k);
    EXPECT_EQ(std::string(CleanupCommand(kind, folder)), kind == OsKind::Win9x ? deltree : rd) << "kind " << k;
  }
}

TEST(CleanupCommand, APathWithSpacesStaysOneQuotedArgument) {
  const std::string command(CleanupCommand(OsKind::Nt6OrLater, "C:\\Temp Dir\\A B\\{G}"));
  EXPECT_EQ(command, "cmd /Q /C rd /S /Q \"C:\\Temp Dir\\A B\\{G}\"");
}

}  // namespace
