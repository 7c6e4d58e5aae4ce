// Files that another program holds for a moment (a virus scanner opening what was just
// written, or what is about to run): which failures mean a hold, and how long the launcher
// waits for one. Pure decisions over error codes and elapsed milliseconds.
#pragma once

#include <cstdint>

// What the launcher needs a file for. Each use has its own open (see held_files.cpp).
enum class FileUse {
  CreateCabinet,  // VOVore.cab created for the payload's write
  ReadCabinet,    // VOVore.cab read by the cabinet service
  WriteEntry,     // an unpacked entry written by the cabinet service
  StartProgram,   // the entry program started as a process
};

namespace hold {

inline constexpr std::uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
inline constexpr std::uint32_t kLockViolation = 33;     // ERROR_LOCK_VIOLATION
inline constexpr std::uint32_t kAccessDenied = 5;       // ERROR_ACCESS_DENIED

// Between two attempts on a held file.
inline constexpr std::uint32_t kPollMs = 100;
// How long one step waits for the files it needs, and the whole run for all of its files.
inline constexpr std::uint32_t kStepLimitMs = 5000;
inline constexpr std::uint32_t kRunLimitMs = 15000;

}  // namespace hold

// True when `error`, from an open or a start for `use`, means that another program holds
// the file: a sharing or a lock violation; for a start also access denied, which scanners
// give while they decide about a program. Any other error (not found, a bad path, a
// read-only file) is no hold and is never waited on.
bool IsHoldError(FileUse use, std::uint32_t error);

// Whether one more poll interval may be waited: the step has waited `stepWaitedMs` for its
// files so far, and the run's other steps `runWaitedMs`. Both bounds hold after the wait.
bool MayWaitAgain(std::uint32_t stepWaitedMs, std::uint32_t runWaitedMs);

// The milliseconds the whole run has waited for held files: one per run, kept by the
// start-up step and handed to each step that may wait.
struct HoldBudget {
  std::uint32_t waitedMs = 0;
};
