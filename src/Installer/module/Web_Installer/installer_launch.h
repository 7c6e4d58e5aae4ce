// Starts the unpacked installation program and waits until it has ended.
#pragma once

// Starts the entry program in `workFolder` (no trailing backslash) through the shell with an
// empty argument string, in the launcher's own current directory, and, when the launch
// counts as started, waits for its process without a time limit. Reports nothing.
void LaunchInstaller(const char* workFolder);
