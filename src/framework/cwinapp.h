// The framework's application class and its host, reduced to what the launcher relies on:
// the host records the module handle, turns off the platform's error boxes, calls the
// start-up step once and the exit step exactly once, and exits with the latter's result.
// The substitute routes no window messages, so there is no message map and no run loop.
#pragma once

#include <windows.h>

class CWinApp {
 public:
  explicit CWinApp(LPCSTR appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Base start-up step: nothing to prepare; TRUE.
  virtual BOOL InitInstance();
  // Base exit step: the exit code of the last quit message, and no message loop ever runs
  // here, so 0.
  virtual int ExitInstance();

  LPCSTR m_pszAppName;
  HINSTANCE m_hInstance;
  LPSTR m_lpCmdLine;
  int m_nCmdShow;
};

// The one application object of the process (the last one constructed), or null.
CWinApp* AfxGetApp();

// The host's main routine, called from the process entry with what it received.
int AfxWinMain(HINSTANCE instance, LPSTR commandLine, int showCommand);

// The error-mode calls of the host, replaceable by tests.
struct HostApi {
  decltype(&::SetErrorMode) SetErrorMode;
};
extern HostApi g_hostApi;
