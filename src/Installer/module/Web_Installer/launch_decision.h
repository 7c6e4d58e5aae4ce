// The launch of the installation program: its path, and whether the shell started it.
#pragma once

#include <cstdint>

#include "cstring.h"

// The work folder, one backslash, and the entry program's name.
CStringA EntryProgramPath(const char* workFolder);

// Whether a launch counts as started: the shell call returned nonzero, and its result code
// (hInstApp), read as a signed 32-bit integer, is above 32.
bool LaunchStarted(int shellExecuteResult, std::int32_t instAppCode);
