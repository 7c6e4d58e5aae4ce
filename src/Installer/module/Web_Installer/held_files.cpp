#include "held_files.h"

#include "cabinet_callback.h"
#include "launcher_api.h"

namespace {

// How each use opens its file to see whether it is free: with the access and sharing of
// the open it stands for. The cabinet service reads the cabinet and writes each entry
// sharing them for reading and writing; process creation opens a program to read and
// execute it, sharing it for reading and deletion.
struct FreeTest {
  DWORD access;
  DWORD share;
};
FreeTest FreeTestFor(FileUse use) {
  switch (use) {
    case FileUse::ReadCabinet: return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
    case FileUse::WriteEntry: return {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
    case FileUse::StartProgram: return {FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE};
    case FileUse::CreateCabinet: break;  // tried by the open itself
  }
  return {GENERIC_WRITE, 0};
}

// 0 when `path` opens as `use` needs it (it is closed again at once), else the open's error.
DWORD OpenError(const char* path, FileUse use) {
  const FreeTest test = FreeTestFor(use);
  HANDLE file = g_launcherApi.CreateFileA(path, test.access, test.share, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return g_launcherApi.GetLastError();
  (void)g_launcherApi.CloseHandle(file);
  return 0;
}

// One step's wait for held files: from the first wait on, its time counts against the
// step's bound, and when the step is done, against the run's.
class StepWait {
 public:
  explicit StepWait(HoldBudget& budget) : m_budget(budget), m_waiting(false), m_begin(0) {}
  ~StepWait() {
    if (m_waiting) m_budget.waitedMs += g_launcherApi.GetTickCount() - m_begin;
  }
  StepWait(const StepWait&) = delete;
  StepWait& operator=(const StepWait&) = delete;

  // Waits one poll interval if the bounds allow it; false when they do not.
  bool Pause() {
    const DWORD now = g_launcherApi.GetTickCount();
    if (!m_waiting) {
      m_waiting = true;
      m_begin = now;
    }
    if (!MayWaitAgain(now - m_begin, m_budget.waitedMs)) return false;
    g_launcherApi.Sleep(hold::kPollMs);
    return true;
  }

  // Until `path` opens as `use` needs it, or fails for a reason that is no hold: true. False
  // when it is still held at the bound.
  bool UntilFree(const char* path, FileUse use) {
    while (IsHoldError(use, OpenError(path, use))) {
      if (!Pause()) return false;
    }
    return true;
  }

 private:
  HoldBudget& m_budget;
  bool m_waiting;
  DWORD m_begin;
};

}  // namespace

BOOL OpenCabinetWhenFree(CFile& file, const char* path, HoldBudget& budget) {
  StepWait wait(budget);
  for (;;) {
    CFileException error(CFileException::none, 0);
    if (file.Open(path, CFile::modeCreate | CFile::modeWrite, &error)) return TRUE;
    if (!IsHoldError(FileUse::CreateCabinet, error.m_lOsError) || !wait.Pause()) return FALSE;
  }
}

BOOL IterateCabinetWhenFree(const char* path, HoldBudget& budget) {
  StepWait wait(budget);
  // Whatever the cabinet's state, the iteration is then tried: it fails as it would have.
  (void)wait.UntilFree(path, FileUse::ReadCabinet);
  for (;;) {
    ResetExtraction();
    const BOOL iterated = g_launcherApi.SetupIterateCabinetA(path, 0, &CabinetCallback, nullptr);
    const DWORD error = iterated ? 0 : g_launcherApi.GetLastError();
    // An entry refused or cut short is no hold: the set on disk is incomplete.
    if (ExtractionAbandoned) return FALSE;
    if (iterated) return TRUE;

    // What the iteration may have met held: the entry it was writing when it stopped, or the
    // cabinet, which the service may report as missing when it cannot open it.
    const char* entry = EntryInProgress();
    const bool entryHeld = entry != nullptr && IsHoldError(FileUse::WriteEntry, OpenError(entry, FileUse::WriteEntry));
    const bool cabinetHeld = !entryHeld && IsHoldError(FileUse::ReadCabinet, OpenError(path, FileUse::ReadCabinet));
    if (!entryHeld && !cabinetHeld && !IsHoldError(FileUse::ReadCabinet, error)) return FALSE;
    // Each new iteration costs one poll interval of the bound at least, even where the file
    // it met held has been let go already.
    if (!wait.Pause()) return FALSE;
    if (entryHeld && !wait.UntilFree(entry, FileUse::WriteEntry)) return FALSE;
    if (!wait.UntilFree(path, FileUse::ReadCabinet)) return FALSE;
  }
}

bool StartableWhenFree(const char* program, HoldBudget& budget) {
  StepWait wait(budget);
  return wait.UntilFree(program, FileUse::StartProgram);
}
