// Waiting out another program's hold on the files of a run: VOVore.cab before it is
// written and while the cabinet service reads it, the entries the service writes, and the
// entry program before it is started. Nothing is waited for where nothing is held: the
// ordinary run adds only one open and close of the cabinet and one of the entry program.
// A step waits at most hold::kStepLimitMs, the run at most hold::kRunLimitMs in all; then
// the step ends as it would have without waiting.
#pragma once

#include "cfile.h"
#include "hold_policy.h"

// Opens `file` on `path` to create it for writing, as the payload's write needs it, again
// and again while another program holds an earlier file of that name. FALSE when the open
// fails for any other reason, or the file stays held past the bound.
BOOL OpenCabinetWhenFree(CFile& file, const char* path, HoldBudget& budget);

// Unpacks the cabinet at `path` through the cabinet service and CabinetCallback, once the
// cabinet can be read. An iteration that fails because the cabinet or the entry it was
// writing was held is run again from the start once that file is free. FALSE when the
// iteration fails otherwise, an entry was refused or cut short, or a file stays held.
BOOL IterateCabinetWhenFree(const char* path, HoldBudget& budget);

// Whether `program` may be handed to the shell: false only when another program holds it
// past the bound, so that the shell is never asked to start a held file. A failure that is
// no hold (not found, say) is left to the shell to meet, as without this check.
bool StartableWhenFree(const char* program, HoldBudget& budget);
