// The work folder's name and its next-logon cleanup command: pure string composition.
#pragma once

#include "cstring.h"
#include "os_kind.h"

// The temp path exactly as the platform returned it (with its trailing backslash),
// followed directly by the product GUID. Nothing is inserted, and the result has no
// trailing backslash.
CStringA ComposeWorkFolder(const char* tempPath);

// The command that deletes `workFolder` with everything in it, the folder enclosed in
// double quotes: "command /C deltree /Y" for OsKind::Win9x, "cmd /Q /C rd /S /Q" for every
// other kind, OsKind::Unclassified included.
CStringA CleanupCommand(OsKind kind, const char* workFolder);
