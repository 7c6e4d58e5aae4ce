// The launcher's application object: its start-up step is the whole run.
#pragma once

#include "cwinapp.h"

class CWebInstallerApp : public CWinApp {
 public:
  CWebInstallerApp();

  // Runs the launcher from start to finish; FALSE as soon as a step fails.
  BOOL InitInstance() override;
  // Closes the single-instance mutex, then returns the base exit step's result.
  int ExitInstance() override;

  // The single-instance mutex: null until the guard stores what the platform returned,
  // closed and reset only by ExitInstance. Destruction does not touch it.
  HANDLE m_hMutex;
};
