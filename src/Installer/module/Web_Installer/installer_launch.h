// Starts the unpacked installation program and waits until it has ended.
#pragma once

#include "hold_policy.h"

// Starts the entry program in `workFolder` (no trailing backslash) through the shell with an
// empty argument string, in the launcher's own current directory, and, when the launch
// counts as started, waits for its process without a time limit. Reports nothing. The shell
// is not asked at all while another program holds the entry program past the bound of
// `holds` (it would fail, and might show a box of its own).
void LaunchInstaller(const char* workFolder, HoldBudget& holds);
