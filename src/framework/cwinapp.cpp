#include "cwinapp.h"

#include "exceptions.h"

namespace {
CWinApp* g_app = nullptr;
}

HostApi g_hostApi = {&::SetErrorMode};

CWinApp::CWinApp(LPCSTR appName)
    : m_pszAppName(appName), m_hInstance(nullptr), m_lpCmdLine(nullptr), m_nCmdShow(SW_SHOWNORMAL) {
  g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return g_app; }

int AfxWinMain(HINSTANCE instance, LPSTR commandLine, int showCommand) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 0;

  // SetErrorMode only replaces the mode, so read the current one first to keep its flags.
  const UINT mode = g_hostApi.SetErrorMode(0);
  g_hostApi.SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  app->m_hInstance = instance;
  app->m_lpCmdLine = commandLine;
  app->m_nCmdShow = showCommand;

  // The start-up step's result changes nothing here: after TRUE the framework's run step
  // would quit at once with code 0, after FALSE it goes straight to the exit step.
  try {
    (void)app->InitInstance();
  } catch (const CMemoryException&) {
    // Out of memory while composing a path: the run ends as a failed start-up step would.
  }
  return app->ExitInstance();
}
