// The user's temp directory as a narrow path in the ANSI code page that names the real
// directory, whatever characters its long name holds.
#pragma once

#include <windows.h>

#include "product_constants.h"

// TRUE with `path` holding the temp directory's path, with its trailing backslash: the
// path GetTempPathA hands out when it reads back as the wide temp path (the common case:
// one wide call and one conversion besides), else the directory's short (8.3) form, taken
// from the wide calls and converted without loss. FALSE when neither exists (no temp path,
// one longer than the buffer, no short form, or a short form the code page cannot hold
// either): the run must end before anything is registered or made. `path` is zero-filled
// before use.
BOOL NarrowTempPath(char (&path)[product::kPathBufferSize]);
