// The run's work folder: named in the user's temp directory, registered for deletion at
// the next logon, created, and opened to every user.
#pragma once

#include <windows.h>

#include "cstring.h"
#include "os_kind.h"

// TRUE with `workFolder` set when the folder exists (new, or left by an earlier run) and
// its cleanup value is registered. FALSE ends the run: before the value is written nothing
// has been created; the value is written before the folder is made; a path of that name
// that is not a folder ends the run without being touched.
BOOL PrepareWorkFolder(OsKind kind, CStringA& workFolder);
