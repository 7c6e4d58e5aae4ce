// Opens one folder to Everyone (S-1-1-0): full, inheritable access, merged into the
// folder's DACL after its own entries and ahead of the inherited ones.
#pragma once

#include <windows.h>

// TRUE when the new DACL was written to the folder; FALSE on any failure, with the folder's
// security unchanged (the write is the last call). Keeps nothing between calls.
BOOL GrantFolderAccess(LPCSTR folderPath);
