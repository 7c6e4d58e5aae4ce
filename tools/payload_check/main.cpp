// payload_check CABINET [STAMP]: refuses, with a message naming the entry at fault, a
// payload that the launcher cannot serve; on success, touches STAMP when given.
#include <cstdio>

#include "payload_rules.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    (void)std::fprintf(stderr, "usage: payload_check CABINET [STAMP]\n");
    return 2;
  }
  const PayloadReport report = CheckPayload(argv[1]);
  if (!report.ok) {
    (void)std::fprintf(stderr, "payload check: %s: REFUSED: %s\n", argv[1], report.message.c_str());
    return 1;
  }
  std::printf("payload check: %s: ok: %s\n", argv[1], report.message.c_str());
  if (argc > 2) {
    if (FILE* stamp = std::fopen(argv[2], "w")) {
      (void)std::fprintf(stamp, "%s\n", report.message.c_str());
      (void)std::fclose(stamp);
    }
  }
  return 0;
}
