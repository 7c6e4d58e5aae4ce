#include "hold_policy.h"

bool IsHoldError(FileUse use, std::uint32_t error) {
  if (error == hold::kSharingViolation || error == hold::kLockViolation) return true;
  return use == FileUse::StartProgram && error == hold::kAccessDenied;
}

bool MayWaitAgain(std::uint32_t stepWaitedMs, std::uint32_t runWaitedMs) {
  // 64 bits: the sums cannot wrap, whatever the clock handed out.
  const std::uint64_t step = static_cast<std::uint64_t>(stepWaitedMs) + hold::kPollMs;
  return step <= hold::kStepLimitMs && step + runWaitedMs <= hold::kRunLimitMs;
}
