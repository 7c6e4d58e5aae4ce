// The launcher's process-wide application object; the framework's entry runs it.
#include "WebInstallerApp.h"

CWebInstallerApp theApp;
