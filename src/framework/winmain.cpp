// Process entry of a GUI-subsystem program built on the framework substitute.
#include "cwinapp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR commandLine, int showCommand) {
  return AfxWinMain(instance, commandLine, showCommand);
}
