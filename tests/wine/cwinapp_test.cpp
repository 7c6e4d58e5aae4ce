// The framework's host: the process error mode, one start-up step, one exit step, and the
// exit step's result as the exit code.
#include <gtest/gtest.h>

#include "cwinapp.h"
#include "exceptions.h"

namespace {

class RecordingApp : public CWinApp {
 public:
  BOOL InitInstance() override {
    ++initCalls;
    modeSeen = GetErrorMode();
    if (throwMemory) throw CMemoryException();
    return initResult;
  }
  int ExitInstance() override {
    ++exitCalls;
    return exitCode;
  }
  int initCalls = 0, exitCalls = 0, exitCode = 0;
  BOOL initResult = TRUE;
  bool throwMemory = false;
  UINT modeSeen = 0;
};

TEST(Host, RunsEachStepOnceKeepsErrorFlagsAndReturnsTheExitStep) {
  const UINT before = SetErrorMode(SEM_NOGPFAULTERRORBOX);
  for (const BOOL initResult : {TRUE, FALSE}) {
    RecordingApp app;
    app.initResult = initResult;
    app.exitCode = 7;
    const HINSTANCE self = GetModuleHandleA(nullptr);
    EXPECT_EQ(AfxWinMain(self, const_cast<LPSTR>("some args"), SW_HIDE), 7);
    EXPECT_EQ(app.initCalls, 1);
    EXPECT_EQ(app.exitCalls, 1);
    EXPECT_EQ(app.m_hInstance, self);
    EXPECT_EQ(app.modeSeen & (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX),
              static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX));
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
  }
  SetErrorMode(before);
}

TEST(Host, OutOfMemoryInTheStartUpStepStillRunsTheExitStep) {
  RecordingApp app;
  app.throwMemory = true;
  EXPECT_EQ(AfxWinMain(GetModuleHandleA(nullptr), nullptr, SW_SHOWNORMAL), 0);
  EXPECT_EQ(app.exitCalls, 1);
}

TEST(Host, BaseStepsSucceedAndExitWithZero) {
  CWinApp app;
  EXPECT_TRUE(app.InitInstance());
  EXPECT_EQ(app.ExitInstance(), 0);
}

}  // namespace
