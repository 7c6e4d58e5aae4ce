// Fuzzes the build's payload check with mutated cabinets: a clear answer (accepted, or
// refused with a reason), never a crash.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "payload_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/payload_check_fuzz_" + std::to_string(getpid()) + ".cab";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  (void)std::fwrite(data, 1, size, f);
  (void)std::fclose(f);
  const PayloadReport report = CheckPayload(path);
  if (!report.ok && report.message.empty()) std::abort();  // a refusal always says why
  (void)std::remove(path.c_str());
  return 0;
}
