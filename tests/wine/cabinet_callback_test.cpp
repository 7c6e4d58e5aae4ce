// The callback's thin shell around the platform: its answers to the notifications that are
// not an entry, and the lead-byte table it steps over double-byte characters with, checked
// against the platform's own for every double-byte ANSI code page.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cabinet_callback.h"
#include "cabinet_target.h"
#include "launcher_api.h"

namespace {

TEST(CabinetCallbackShell, AnswersEveryOtherNotificationWithZeroAndTouchesNothing) {
  ScopedLauncherApi restore;
  ExtractionRoot = "C:\\W\\";
  ExtractionAbandoned = false;
  FILE_IN_CABINET_INFO_A info = {};
  info.NameInCabinet = "a.txt";
  for (const UINT notification : {0x10u, 0x12u, 0x13u, 0x14u, 0x0u}) {
    std::memset(info.FullTargetName, 'x', sizeof(info.FullTargetName));
    EXPECT_EQ(CabinetCallback(nullptr, notification, reinterpret_cast<UINT_PTR>(&info), 0), 0u) << notification;
    EXPECT_EQ(std::string(info.FullTargetName, sizeof(info.FullTargetName)), std::string(260, 'x')) << notification;
  }
  ExtractionRoot.Empty();
}

TEST(DoubleByteCodePages, TheLeadByteTableMatchesThePlatform) {
  for (const unsigned codePage : {932u, 936u, 949u, 950u, 1361u, 1252u}) {
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(codePage, &info)) << "code page " << codePage << " is not installed: nothing to compare with";
    for (unsigned byte = 0; byte < 256; ++byte) {
      EXPECT_EQ(IsLeadByte(codePage, static_cast<unsigned char>(byte)),
                IsDBCSLeadByteEx(codePage, static_cast<BYTE>(byte)) != FALSE)
          << "code page " << codePage << ", byte " << byte;
    }
  }
}

}  // namespace
