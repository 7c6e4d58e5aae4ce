// The callback through which the platform's cabinet iteration unpacks the payload.
#pragma once

#include <windows.h>

#include "cstring.h"

// The folder the cabinet is unpacked into: the work folder and one backslash. Empty from
// process start until the payload has been written; the callback's only way to the root,
// since the iteration's context is null.
extern CStringA ExtractionRoot;

// Set when the callback refused an entry (a name that would not fit or would leave the
// folder). The extraction has then failed, whatever the iteration reports.
extern bool ExtractionAbandoned;

// Clears what an earlier iteration left: the refusal, and the entry in progress. Called
// before each iteration.
void ResetExtraction();

// The target of the entry that the iteration was last told to extract and has not reported
// extracted: where a failed iteration stopped. Null when there is none.
const char* EntryInProgress();

// Names each entry's target under ExtractionRoot and makes its folder; see CabinetDecision.
UINT CALLBACK CabinetCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);
