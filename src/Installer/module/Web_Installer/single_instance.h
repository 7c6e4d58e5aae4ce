// The first two decisions of the run: what platform this is, and whether this copy may run.
#pragma once

#include "os_kind.h"

class CWebInstallerApp;

// Reads the platform's plain version record and classifies it. Never fails: a failed query
// gives OsKind::Unclassified.
OsKind QueryPlatformKind();

// Creates and owns the named mutex for `kind`, storing whatever handle comes back in
// app.m_hMutex. FALSE when no handle came back or the mutex already existed; the handle to
// an existing mutex stays in m_hMutex for the exit step to close.
int AcquireSingleInstance(CWebInstallerApp& app, OsKind kind);
